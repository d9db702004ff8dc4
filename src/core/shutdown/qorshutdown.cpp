// qorshutdown.cpp: the library-wide shutdown. It has a directory of its own
// above the rest of core because it reaches down into every part of core
// that keeps process-wide state.
#include "core/shutdown/qorshutdown.h"

#include "core/memory/qorblockallocator.h"
#include "core/msg/qormsg.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorinstallpath.h"
#include "core/trace/qordebugroutinetrace.h"
#include "core/trace/qortrace.h"

void qor_shutdown(void)
{
    QORDebugRoutineTrace::shutdown();
    QORTrace::shutdown();
    qor_allocator_stats_shutdown();
    dx_svc_shutdown();
    dx_msg_shutdown();
    qor_install_path_reset();
}
