// qorassert.h: internal consistency checks. A failed check is a programming
// error: it prints where it failed and aborts the process.
#pragma once
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
extern "C" [[noreturn]] void qor_assert_fail(const char* file, int line,
                                             const char* expression);

// Always on, also in release builds: the checks guard against reading past
// untrusted input, which must stop the process rather than go on.
#define QOR_ASSERT(e) \
    ((e) ? (void)0 : qor_assert_fail(__FILE__, __LINE__, #e))

QOR_EXPORT_END
