// qorbase64.h: Base64 encoding of byte arrays in the standard alphabet
// ("+/") and the URI-safe one ("-_"), both from RFC 4648. The string
// converters, cookie and token handling and certificate decoding build on
// these plain functions.
//
// Both alphabets pad with "=" when encoding, so the encoded length is always
// ((n+2)/3)*4. Decoding in the standard alphabet requires the padding; in the
// URI-safe alphabet it accepts the text with or without it, since a padding
// "=" is often stripped from a URI. Decoding is strict either way: no white
// space, no character of the other alphabet, no "=" but at the end, and the
// unused low bits of the last character must be zero, so that every byte
// array has exactly one accepted text per alphabet.
#pragma once
#include "core/system/qorstatus.h"

enum qor_base64_alphabet_e {
    qor_base64_standard,
    qor_base64_uri_safe,
};

extern "C" {

// The encoded length of n bytes, ((n+2)/3)*4; -1 when n is negative or the
// result would pass INT_MAX.
int qor_base64_encoded_length(int n);

// An upper bound on the bytes that n characters of Base64 decode to (exact
// when the text has no padding); -1 when n is negative.
int qor_base64_decoded_max_length(int n);

// Encodes n bytes of in into out and stores the length written in *outLen.
// out needs qor_base64_encoded_length(n) bytes; a terminator is added when
// outSize leaves room for one. Statuses: qor_s_invalid_argument for a
// negative n or outSize, a null pointer where bytes are needed or a null
// outLen; qor_s_out_of_range when out is too small, with the needed length
// in *outLen and nothing written.
QORStatus qor_base64_encode(const unsigned char* in, int n, char* out,
                            int outSize, int* outLen,
                            qor_base64_alphabet_e alphabet);

// Decodes n characters of in into out and stores the byte count in *outLen.
// Statuses: qor_s_invalid_argument as for encoding; qor_s_conversion_failed
// for a character outside the alphabet, misplaced or excess padding, a
// length no encoding has, or non-zero unused bits; qor_s_out_of_range when
// out is too small for the decoded bytes, with their count in *outLen and
// nothing written. No terminator is added.
QORStatus qor_base64_decode(const char* in, int n, unsigned char* out,
                            int outSize, int* outLen,
                            qor_base64_alphabet_e alphabet);
}
