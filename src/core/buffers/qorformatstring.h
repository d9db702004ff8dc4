// qorformatstring.h: fills a template whose "%x" sequences name values by a
// key character (messages that an administrator can re-order, URL patterns).
#pragma once
#include "core/buffers/qorstring.h"

// Copies fmt to out; "%x" appends values[i] when x is keys[i], else x itself
// (so "%%" gives "%"); a trailing "%" is copied. The key character is looked
// up in the UTF-8 (utf8) or local code set. False when memory failed, with
// out holding what was written so far.
bool qor_generic_format_string(const QORStringRefT<char>& fmt, const char* keys,
                               const QORStringRefT<char>* values,
                               QORStringT<char>* out, bool utf8);

bool qor_format_string(const QORStringRef& fmt, const char* keys,
                       const QORStringRef* values, QORString* out);
bool qor_format_lcp_string(const QORLCPStringRef& fmt, const char* keys,
                           const QORLCPStringRef* values, QORLCPString* out);
