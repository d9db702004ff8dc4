// qorassert.cpp: the handler behind QOR_ASSERT.
#include "core/system/qorassert.h"

#include <cstdio>
#include <cstdlib>

extern "C" void qor_assert_fail(const char* file, int line,
                                const char* expression)
{
    fprintf(stderr, "Assertion failed at %s:%d: %s\n", file, line, expression);
    fflush(stderr);
    abort();
}
