// qortestalloc.h: what tests of the block allocators look at from outside:
// the word before a block (its allocator) and the statistics an allocator
// prints.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include "core/memory/qorblockallocator.h"

inline void* qor_test_allocator_word(void* p)
{
    return static_cast<void**>(p)[-1];
}

// What qor_allocator_dump_stats prints for a, captured from standard output.
inline std::string qor_test_alloc_stats(qor_allocator_t a)
{
    testing::internal::CaptureStdout();
    qor_allocator_dump_stats(a);
    return testing::internal::GetCapturedStdout();
}
