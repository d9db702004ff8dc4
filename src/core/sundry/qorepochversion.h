// qorepochversion.h: a version stamp made of a random identifier, new each
// time the data it versions is rebuilt from scratch, and a counter raised at
// every change in between. The unprotected-resource data, the cache version
// exchange and the transaction carry one; it lies in shared memory as it is,
// so it holds fixed-width fields only and nothing else.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
struct QOREpochVersion {
    // Room for the text form with the longest counter and a terminator.
    static constexpr size_t kTextSize = 49;

    // Equal when all 20 bytes are equal.
    bool operator==(const QOREpochVersion& other) const;
    bool operator!=(const QOREpochVersion& other) const { return !(*this == other); }

    // Gives the stamp a new random identifier (a version 4 UUID, from the
    // kernel's random source) and a counter of 0. On failure, which is
    // qor_s_system_call_failed, the stamp is unchanged.
    QORStatus renew();

    // Raises the counter by one; past INT32_MAX it wraps to INT32_MIN.
    // REQUIRES: external synchronisation when the stamp is shared.
    void increment();

    // Writes the text form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx:nnnnnnnn"
    // into buf, cut to size like snprintf, and returns its full length.
    // Identifier bytes 0 to 3 print as one 32-bit number and bytes 4-5 and
    // 6-7 as 16-bit numbers, each read in the machine's byte order; bytes 8
    // to 15 print one by one; all in lower-case hex. The counter prints as
    // a signed decimal of at least 8 characters.
    int format(char* buf, size_t size) const;

    // Reads the text form of len bytes (-1: up to the terminator), the
    // numbers stored back in the machine's byte order. Accepts hex digits
    // of either case and a counter of an optional '-' and 1 to 10 digits
    // within the 32-bit range; anything else, also trailing bytes, is
    // refused with qor_s_invalid_argument and leaves *out unchanged.
    static QORStatus parse(const char* text, int len, QOREpochVersion* out);

    // The stamp's 20 bytes as they lie in memory (identifier, then the
    // counter in the machine's byte order): set copies them in from bytes,
    // get copies them out to bytes.
    void set(const unsigned char* bytes);
    void get(unsigned char* bytes) const;

    // Replaces out's content with the text form; 0x35f0200c when memory
    // failed. String is QORString (or any string with set(const char*,
    // int)); a template so that this layer needs no string header.
    template <class String,
              class = typename std::enable_if<std::is_class<String>::value>::type>
    QORStatus get(String& out) const
    {
        char text[kTextSize];
        int n = format(text, sizeof text);
        return out.set(text, n) ? qor_s_ok : qor_s_no_memory;
    }

    uint8_t m_identifier[16];
    int32_t m_counter;
};

static_assert(sizeof(QOREpochVersion) == 20, "QOREpochVersion lies in shared memory");
static_assert(std::is_trivially_copyable<QOREpochVersion>::value,
              "QOREpochVersion lies in shared memory");
static_assert(offsetof(QOREpochVersion, m_counter) == 16,
              "QOREpochVersion lies in shared memory");

QOR_EXPORT_END
