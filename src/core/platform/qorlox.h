// qorlox.h: the internationalisation layer: code-set handles, one-character
// and whole-string conversion between a code set, UTF-8 and 16-bit Unicode,
// case mapping and code-set aware comparison and search. Written over iconv,
// nl_langinfo(CODESET) and glibc's wide-character functions.
//
// Every function returns a negative value (-1) or null on failure and never
// reads more than the byte or unit counts it is given.
#pragma once
#include <cstddef>

// A 16-bit Unicode code unit (UTF-16; characters beyond the basic plane take
// two units in whole-string conversions).
typedef unsigned short lox_unichar_t;

typedef struct lox_codeset* lox_cs_t;

// Longest multi-byte character of any supported code set, in bytes.
#define LOX_MB_LEN_MAX 8

extern "C" {

// A handle for the named code set ("UTF-8", "ISO-8859-1", "EUC-JP", ...);
// null when the name is unknown to iconv. Free with lox_cs_delete.
// Also null for code sets that cannot carry zero-terminated text (UTF-16,
// UTF-32, UTF-7, the ISO 2022 forms) and for names with iconv options ("//").
lox_cs_t lox_cs_new(const char* name);
void lox_cs_delete(lox_cs_t cs);
// Process-wide handles, made on first use and never freed by the caller.
lox_cs_t lox_cs_utf8(void);
// The code set of the process locale's LC_CTYPE when first asked
// (nl_langinfo(CODESET)); lox_cs_local_reset makes the next call look again,
// after the process changed its locale.
lox_cs_t lox_cs_local(void);
void lox_cs_local_reset(void);
const char* lox_cs_name(lox_cs_t cs);
int lox_cs_is_utf8(lox_cs_t cs);
// Maximum bytes of one character in this code set.
int lox_cs_mb_max(lox_cs_t cs);

// One character. lox_mbtowc decodes the character at s (at most n bytes):
// returns its byte count (a zero byte is one character of value 0), or -1 for
// an invalid or truncated sequence or a character outside the basic plane.
int lox_mbtowc(lox_cs_t cs, lox_unichar_t* wc, const char* s, size_t n);
// Encodes wc into s (room for LOX_MB_LEN_MAX bytes): returns the byte count or
// -1 when the code set cannot represent it.
int lox_wctomb(lox_cs_t cs, char* s, lox_unichar_t wc);

// Case mapping and classes in the process locale.
lox_unichar_t lox_towlower(lox_unichar_t wc);
lox_unichar_t lox_towupper(lox_unichar_t wc);
int lox_iswspace(lox_unichar_t wc);

// Case-insensitive comparison of at most n bytes of each string, stopping at
// a zero character; characters are decoded in cs and compared lower-cased.
// A byte sequence that does not decode is compared as a byte. Result as
// strncmp.
int lox_strnicmp(lox_cs_t cs, const char* a, const char* b, size_t n);
// 16-bit strings: at most n units, stopping at a zero unit.
int lox_wcsncmp(const lox_unichar_t* a, const lox_unichar_t* b, size_t n);
int lox_wcsnicmp(const lox_unichar_t* a, const lox_unichar_t* b, size_t n);
size_t lox_wcslen(const lox_unichar_t* s);

// First / last occurrence of character c in the zero-terminated string s,
// walking character by character in cs (so a trail byte never matches);
// null when absent or when s does not decode.
const char* lox_strchr(lox_cs_t cs, const char* s, lox_unichar_t c);
const char* lox_strrchr(lox_cs_t cs, const char* s, lox_unichar_t c);

// Lower-cases the zero-terminated string s in place. A character whose lower
// case needs a different byte count is left as it is. Returns 0, or -1 when
// s does not decode in cs (s is then unchanged).
int lox_strlower(lox_cs_t cs, char* s);

// Whole-string conversions of inlen bytes (units); -1 for inlen counts to the
// zero terminator. Output is zero-terminated when room allows; the result is
// the number of bytes (units) written without the terminator, or -1 when the
// input does not convert or the output does not fit in outsize.
int lox_to_utf8(lox_cs_t cs, const char* in, int inlen, char* out, int outsize);
int lox_from_utf8(lox_cs_t cs, const char* in, int inlen, char* out,
                  int outsize);
int lox_to_ucs2_r(lox_cs_t cs, const char* in, int inlen, lox_unichar_t* out,
                  int outsize);
int lox_from_ucs2_r(lox_cs_t cs, const lox_unichar_t* in, int inlen, char* out,
                    int outsize);

// Zero-terminated conversions in the local code set, in the manner of
// mbstowcs/wcstombs: out may be null to measure. Returns the count without
// the terminator, or (size_t)-1 on an invalid sequence.
size_t lox_mbstowcs(lox_unichar_t* out, const char* in, size_t outsize);
size_t lox_wcstombs(char* out, const lox_unichar_t* in, size_t outsize);

}
