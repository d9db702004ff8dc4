// qorber.cpp: BER item headers, splitting of constructed items and the
// primitive getters. The indefinite form is measured by a flat scan with a
// depth counter, so hostile nesting costs time linear in its size and no
// stack.
#include "core/encoders/cert_decoder/qorber.h"

namespace {

struct Header {
    uint8_t tag;
    int headerLength;
    uint32_t length; // of the content; unused for the indefinite form
    bool indefinite;
};

// Reads the tag and length bytes at p, of which n are present.
int readHeader(const unsigned char* p, int n, Header* h)
{
    if (n < 2)
        return ber_bad_length;
    h->tag = p[0];
    if ((h->tag & 0x1f) == 0x1f)
        return ber_unexpected_type;
    h->headerLength = 2;
    h->length = 0;
    h->indefinite = false;
    unsigned first = p[1];
    if (first < 0x80) {
        h->length = first;
    } else if (first == 0x80) {
        // Only constructed items may be open-ended.
        if (!(h->tag & ber_constructed))
            return ber_bad_length;
        h->indefinite = true;
        return ber_ok;
    } else {
        int k = static_cast<int>(first & 0x7f);
        if (k > 4 || n - 2 < k)
            return ber_bad_length;
        for (int i = 0; i < k; i++)
            h->length = h->length << 8 | p[2 + i];
        h->headerLength += k;
    }
    if (h->length > static_cast<uint32_t>(n - h->headerLength))
        return ber_bad_length;
    return ber_ok;
}

// Content length of the indefinite item whose content starts at offset
// start: everything up to the end-of-contents marker that closes it.
int measureIndefinite(const unsigned char* p, int n, int start, int* length)
{
    int pos = start;
    int depth = 1;
    for (;;) {
        if (n - pos < 2)
            return ber_bad_length;
        if (p[pos] == 0 && p[pos + 1] == 0) {
            if (--depth == 0) {
                *length = pos - start;
                return ber_ok;
            }
            pos += 2;
            continue;
        }
        Header h;
        int rc = readHeader(p + pos, n - pos, &h);
        if (rc != ber_ok)
            return rc;
        pos += h.headerLength;
        if (h.indefinite)
            depth++;
        else
            pos += static_cast<int>(h.length);
    }
}

} // namespace

int ber_decode(const ber_buffer* input, ber_item* item)
{
    if (input == nullptr || input->data == nullptr || input->length < 2)
        return ber_bad_length;
    Header h;
    int rc = readHeader(input->data, input->length, &h);
    if (rc != ber_ok)
        return rc;
    int length = static_cast<int>(h.length);
    if (h.indefinite) {
        rc = measureIndefinite(input->data, input->length, h.headerLength, &length);
        if (rc != ber_ok)
            return rc;
    }
    if ((h.tag == ber_tag_null && length != 0) ||
        (h.tag == ber_tag_boolean && length != 1))
        return ber_bad_length;
    item->tag = h.tag;
    item->length = length;
    item->content = input->data + h.headerLength;
    item->headerLength = h.headerLength;
    item->indefinite = h.indefinite;
    return ber_ok;
}

int ber_encoded_length(const ber_item* item)
{
    return item->headerLength + item->length + (item->indefinite ? 2 : 0);
}

int ber_unpack(const ber_item* item, ber_item* items, int capacity, int* count,
               uint8_t expectedTag)
{
    *count = 0;
    if (!(item->tag & ber_constructed))
        return ber_unexpected_type;
    if (expectedTag != 0 && (item->tag & ~ber_constructed) != expectedTag)
        return ber_unexpected_type;
    ber_buffer rest = {item->content, item->length};
    while (rest.length > 0) {
        ber_item next;
        int rc = ber_decode(&rest, &next);
        if (rc != ber_ok)
            return rc == ber_bad_length ? ber_array_too_short : rc;
        if (*count >= capacity)
            return ber_array_too_short;
        items[(*count)++] = next;
        int used = ber_encoded_length(&next);
        rest.data += used;
        rest.length -= used;
    }
    return ber_ok;
}

int ber_get_buf(const ber_item* item, ber_buffer* out, uint8_t expectedTag)
{
    if ((item->tag & ber_constructed) ||
        (expectedTag != 0 && item->tag != expectedTag))
        return ber_unexpected_type;
    out->data = item->content;
    out->length = item->length;
    return ber_ok;
}

int ber_get_int32(const ber_item* item, int32_t* out, uint8_t expectedTag)
{
    ber_buffer b;
    int rc = ber_get_buf(item, &b, expectedTag);
    if (rc != ber_ok)
        return rc;
    if (b.length == 0)
        return ber_bad_length;
    if (b.length > 4)
        return ber_integer_too_big;
    uint32_t v = (b.data[0] & 0x80) ? 0xffffffffu : 0;
    for (int i = 0; i < b.length; i++)
        v = v << 8 | b.data[i];
    *out = static_cast<int32_t>(v);
    return ber_ok;
}

int ber_get_ber(const ber_item* item, ber_item* inner, uint8_t expectedTag)
{
    ber_buffer b;
    int rc = ber_get_buf(item, &b, expectedTag);
    if (rc != ber_ok)
        return rc;
    rc = ber_decode(&b, inner);
    if (rc != ber_ok)
        return rc;
    return ber_encoded_length(inner) == b.length ? ber_ok : ber_length_mismatch;
}

const char* ber_error_string(int code)
{
    static const char* const kTexts[] = {
        "OK",
        "Unexpected BER Item Type",
        "Bad Item Length",
        "Internal Sequence Array Too Short",
        "Set or Seq Length Mismatch",
        "OID Too Big",
        "Integer Too Big (>32 bits)",
        "Missing Set or Seq Element",
        "Extra Set or Seq Element",
        nullptr,
        "Internal Buffer Overflow",
        "Memory Allocation Failure",
        "Value out of Range",
        "Unexpected Item Count in Set or Seq",
    };
    if (code < 0 || code >= static_cast<int>(sizeof kTexts / sizeof kTexts[0]) ||
        kTexts[code] == nullptr)
        return "Unknown";
    return kTexts[code];
}
