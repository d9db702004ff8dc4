// qorber.h: a small reader of BER-encoded items (single-byte tags, definite
// lengths of up to four bytes and the indefinite form), enough to take a
// client certificate apart. Every length is checked against the bytes that
// are present; nothing here recurses, so nesting depth costs no stack.
#pragma once
#include <cstdint>

// Error codes of the reader; ber_error_string gives their texts.
enum ber_error_e {
    ber_ok = 0,
    ber_unexpected_type = 1,
    ber_bad_length = 2,
    ber_array_too_short = 3,
    ber_length_mismatch = 4,
    ber_oid_too_big = 5,
    ber_integer_too_big = 6,
    ber_missing_element = 7,
    ber_extra_element = 8,
    ber_buffer_overflow = 10,
    ber_no_memory = 11,
    ber_out_of_range = 12,
    ber_item_count = 13,
};

enum : uint8_t {
    ber_tag_boolean = 0x01,
    ber_tag_integer = 0x02,
    ber_tag_octet_string = 0x04,
    ber_tag_null = 0x05,
    ber_tag_oid = 0x06,
    ber_tag_sequence = 0x10,
    ber_tag_set = 0x11,
    ber_tag_universal_string = 0x1c,
    ber_tag_bmp_string = 0x1e,
    ber_constructed = 0x20,
    ber_tag_explicit_version = 0xa0,
};

// Bytes still to be read: a pointer and how many follow it.
struct ber_buffer {
    const unsigned char* data;
    int length;
};

// One decoded item. The content excludes the header and, for the
// indefinite form, the end-of-contents marker after it.
struct ber_item {
    uint8_t tag;
    int length;
    const unsigned char* content;
    int headerLength;
    bool indefinite;
};

extern "C" {

// Reads the item at the start of input. Error 2 when fewer than two bytes
// remain, a long-form length has more than four bytes, the item does not fit
// in the input, an indefinite item is primitive or lacks its end marker, or
// a NULL is not empty or a BOOLEAN not one byte long; error 1 for a tag of
// more than one byte.
int ber_decode(const ber_buffer* input, ber_item* item);

// Bytes the item occupies from its tag to the end of its encoding.
int ber_encoded_length(const ber_item* item);

// Splits a constructed item into the items of its content, stored in items
// (at most capacity) and counted in *count. expectedTag is compared with the
// item's tag less the constructed bit; 0 accepts any tag. Error 1 for a
// primitive item or another tag; error 3 when the content holds more items
// than capacity or an item runs past the end of the content.
int ber_unpack(const ber_item* item, ber_item* items, int capacity, int* count,
               uint8_t expectedTag);

// The content of a primitive item whose tag is expectedTag (0: any);
// error 1 otherwise.
int ber_get_buf(const ber_item* item, ber_buffer* out, uint8_t expectedTag);

// The value of a primitive item of tag expectedTag (normally INTEGER) as a
// signed two's-complement number: error 6 beyond four bytes, error 2 when
// the content is empty.
int ber_get_int32(const ber_item* item, int32_t* out, uint8_t expectedTag);

// The content of a primitive item of tag expectedTag (normally an OCTET
// STRING wrapping an encoding) read as one item that must fill it exactly
// (else error 4).
int ber_get_ber(const ber_item* item, ber_item* inner, uint8_t expectedTag);

// The text of an error code; "Unknown" for codes not listed above.
const char* ber_error_string(int code);
}
