// qorsnprintf.h: the library's formatted output. Every module that builds a
// message, a trace line or a header value from printf-style arguments uses
// it, because it also prints 16-bit Unicode strings (%S) in the code set the
// text is written in and never writes through a %n argument.
//
// Conversions: d i u o x X c s p f F e E g G a A %, flags - + space # 0,
// width and precision (digits or *), length modifiers hh h l ll z j t on the
// integer conversions and L (long double) or l (ignored) on the floating
// ones. %p prints "0x" and lower-case hex digits, "(nil)" for null. A null
// %s or %S argument prints "(null)", or nothing when a precision shorter
// than that text is given, so that a cut marker never passes for data.
// %S takes a zero-terminated `const lox_unichar_t*` (UTF-16; a surrogate
// pair is one character) and converts it into the output's code set; its
// width and precision count output bytes, and the precision never splits a
// multi-byte character. The format, %s and %c arguments are copied as bytes:
// they must already be in the output's code set.
//
// Refused, making the call return -1: %n, %lc and %ls (use %S), positional
// arguments, a length modifier a conversion does not take, anything between
// "%" and "%" in "%%", a format ending in "%", a width or precision above
// INT_MAX, an output longer than INT_MAX bytes, and a %S string holding a
// character the code set cannot represent or an unpaired surrogate.
//
// The plain forms write the process's local code page (lox_cs_local()), as
// do the _lcp forms; the _utf8 forms write UTF-8 and the _cs forms the code
// set given (a null one refuses %S). The code set is looked up only when a
// %S conversion needs it.
// The functions carry no printf format attribute: the compiler would read
// %S as a wchar_t string.
#pragma once
#include <cstdarg>
#include <cstddef>
#include "core/platform/qorlox.h"

extern "C" {

// Writes at most size-1 bytes of the output and a terminator into buf (any
// size, 0 included, in which case buf may be null). Returns the length of
// the whole output, terminator excluded, even when it was cut, or -1 for a
// refused format or a %S string that does not convert; on -1 buf holds an
// empty string when size allows.
int qor_snprintf(char* buf, size_t size, const char* fmt, ...);
int qor_vsnprintf(char* buf, size_t size, const char* fmt, va_list ap);
int qor_snprintf_utf8(char* buf, size_t size, const char* fmt, ...);
int qor_vsnprintf_utf8(char* buf, size_t size, const char* fmt, va_list ap);
int qor_snprintf_lcp(char* buf, size_t size, const char* fmt, ...);
int qor_vsnprintf_lcp(char* buf, size_t size, const char* fmt, va_list ap);
int qor_snprintf_cs(lox_cs_t cs, char* buf, size_t size, const char* fmt, ...);
int qor_vsnprintf_cs(lox_cs_t cs, char* buf, size_t size, const char* fmt,
                     va_list ap);

// Allocates a buffer of exactly the output's length plus terminator, stores
// it in *out and returns the length; -1 with *out null when the format is
// refused, a %S string does not convert or memory failed. Every variant's
// buffer is released with qor_asprintf_free (one function serves all, since
// they all allocate alike).
int qor_asprintf(char** out, const char* fmt, ...);
int qor_vasprintf(char** out, const char* fmt, va_list ap);
int qor_asprintf_utf8(char** out, const char* fmt, ...);
int qor_vasprintf_utf8(char** out, const char* fmt, va_list ap);
int qor_asprintf_lcp(char** out, const char* fmt, ...);
int qor_vasprintf_lcp(char** out, const char* fmt, va_list ap);
int qor_asprintf_cs(lox_cs_t cs, char** out, const char* fmt, ...);
int qor_vasprintf_cs(lox_cs_t cs, char** out, const char* fmt, va_list ap);
// Null is accepted and ignored.
void qor_asprintf_free(char* p);
}
