// qorshutdown.h: qor_shutdown, the release of the library's process-wide
// state. The web-server adapter calls it last, after QORCore::shutdown and
// the core's destruction, when the plug-in is unloaded.
#pragma once
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
extern "C" {

// Releases, in this order: the routine-trace nesting key and blanks, the
// trace thread-context key, the allocator statistics reporter and its
// registry, the serviceability routes, handles' texts and
// callbacks, the message catalogues and tables, and the installation-path
// table. Thread context and indentation stay unavailable afterwards.
// Safe to call more than once. REQUIRES: no other thread uses the library.
void qor_shutdown(void);
}

QOR_EXPORT_END
