// qormemtypeflags.cpp: the provider of per-memory-type debugging flags.
#include "core/memory/qormemtypeflags.h"

static qor_memtype_flags_fn g_provider = nullptr;

void qor_set_memtype_flags_provider(qor_memtype_flags_fn fn)
{
    __atomic_store_n(&g_provider, fn, __ATOMIC_RELEASE);
}

unsigned qor_memtype_flags(unsigned memoryType)
{
    qor_memtype_flags_fn fn = __atomic_load_n(&g_provider, __ATOMIC_ACQUIRE);
    return fn ? fn(memoryType) : 0;
}
