// qorsyserr.h: system error texts and the translation between errno values
// and library statuses. Every module that calls the system uses it to turn
// a failed call into a QORStatus and to put the system's text in a report.
#pragma once
#include <cstddef>
#include "core/system/qorstatus.h"

extern "C" {

// The system's text for errno value err, safe to call from any thread.
// Returns either buf (holding the text, truncated to size and terminated)
// or a constant string; never null, also for an unknown err or no buffer.
const char* qor_sys_strerror(int err, char* buf, size_t size);

// The status for errno value err: 0 for 0, and
//   ENOMEM                   qor_s_no_memory
//   EINVAL                   qor_s_invalid_argument
//   EACCES, EPERM            qor_s_permission_denied
//   ENOENT                   qor_s_not_found
//   EEXIST                   qor_s_exists
//   EAGAIN (EWOULDBLOCK), EBUSY  qor_s_busy
//   EINTR                    qor_s_interrupted
//   ENOSPC                   qor_s_no_space
//   EIDRM                    qor_s_removed
//   ERANGE                   qor_s_out_of_range
//   ETIMEDOUT                qor_s_timed_out
//   EBADF                    qor_s_bad_handle
//   EMFILE, ENFILE           qor_s_too_many_files
//   EDEADLK                  qor_s_deadlock
//   ENAMETOOLONG             qor_s_name_too_long
// and qor_s_system_error for any other value.
QORStatus qor_sys_status(int err);

// The errno value a status stands for, where one does: the first errno of
// its row above (so EPERM comes back as EACCES, EBUSY as EAGAIN). 0 for
// success; -1 for a status with no errno, qor_s_system_error included.
int qor_sys_errno(QORStatus status);
}
