// qormemdebug.h: QORMemDebug, the memory-debugging configuration. It reads
// the "debug" stanza through a configuration manager and tells every
// caching allocator, as it is initialised, which debugging flags its memory
// type gets: page guards for the memory types named by "memory-on" (a name
// covers every type below it in the dotted hierarchy) unless "memory-off"
// names them, and statistics for every type when "memory-stats" is true.
// The web-server adapter calls initialize when it wants memory debugging.
//
//   [debug]
//   memory-on = plugin.if
//   memory-off = plugin.if.disp.error-message
//   memory-stats = true
//   memory-stats-period = 60
#pragma once
#include "config_mgr/qorconfigmgr.h"
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORMemDebug {
public:
    // Registers the schema "QORMemDebug" with config, reads the stanza,
    // replaces any earlier configuration and installs flags() as the
    // allocators' flag provider. A "memory-stats-period" (seconds, above 0)
    // is passed to the statistics reporter. 0, or the failing status of the
    // registration or of a refused value (the earlier configuration then
    // stays). REQUIRES: config is initialised.
    static QORStatus initialize(QORConfigMgr* config);

    // The debugging flags for memoryType (a message id naming the type):
    // QOR_ALLOC_PAGE_GUARD when "memory-on" names the type or one of its
    // dotted prefixes ("plugin.if.disp.shmem-allocator", "plugin.if.disp",
    // "plugin.if", "plugin") and "memory-off" names none of them;
    // QOR_ALLOC_STATS for every type with "memory-stats". 0 before
    // initialize. The first grant of each mode to a type is reported.
    // Safe from any thread.
    static unsigned flags(unsigned memoryType);

    // Forgets the configuration and removes the flag provider; allocators
    // made afterwards get no debugging flags. For tests and shutdown.
    static void shutdown();
};

QOR_EXPORT_END
