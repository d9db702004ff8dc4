// qormemtypeflags.h: which debugging flags (QOR_ALLOC_PAGE_GUARD,
// QOR_ALLOC_STATS ...) a memory type gets. The memory-debug configuration
// installs the provider; until it does, every memory type gets none. Caching
// allocators ask when they are initialised.
#pragma once

typedef unsigned (*qor_memtype_flags_fn)(unsigned memoryType);

extern "C" {

// Installs fn as the provider; null removes it. Safe from any thread.
void qor_set_memtype_flags_provider(qor_memtype_flags_fn fn);

// The installed provider's flags for memoryType, 0 without one.
unsigned qor_memtype_flags(unsigned memoryType);
}
