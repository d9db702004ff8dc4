// qoruriencode.h: percent-encoding of text for the parts of a URL (path,
// query, form argument, macro value) and the decoding of macro values. The
// message data items use the ASCII form when they turn message strings
// into library strings.
#pragma once
#include "core/buffers/qorstring.h"

// Which bytes besides "%", controls, space and bytes above 0x7E are encoded.
// Digits, letters and "*-._" are never encoded.
enum uri_encoding_type {
    qor_uri_type_uri = 0,      // only the 13 excluded: < > # % " { } | \ ^ [ ] `
    qor_uri_type_form_arg = 1, // every other printable byte; space becomes "+"
    qor_uri_type_query = 2,    // every other printable byte
    qor_uri_type_ascii = 3,    // none
    qor_uri_type_macro = 4,    // only < > : ' " \ (undone by qor_uri_decode_macro)
};

// Append the encoded form of len bytes of in (len -1: up to the terminator)
// to out, escapes written "%XX" in upper case. False when memory failed;
// out is then unchanged.
bool qor_uri_encode(QORStringT<char>* out, const char* in, int len,
                    uri_encoding_type type);
bool qor_uri_encode(QORStringT<char>* out, const char* in, int len);
bool qor_uri_encode_form_arg(QORStringT<char>* out, const char* in, int len);
bool qor_uri_encode_query(QORStringT<char>* out, const char* in, int len);
bool qor_uri_encode_ascii(QORStringT<char>* out, const char* in, int len);
bool qor_uri_encode_macro(QORStringT<char>* out, const char* in, int len);

// Appends in with the escapes that the macro encoding makes ("%XX" of either
// case naming a byte it encodes) decoded; any other "%" sequence is copied.
// False when memory failed; out is then unchanged.
bool qor_uri_decode_macro(QORStringT<char>* out, const char* in, int len);
