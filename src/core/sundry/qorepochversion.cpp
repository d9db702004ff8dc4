// qorepochversion.cpp: epoch version stamps.
#include "core/sundry/qorepochversion.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include "core/sundry/qorhexdigit.h"
#include "core/sundry/qorsnprintf.h"

namespace {

// The identifier's text: 'x' stands for one hex digit, anything else for
// itself.
const char kIdentifierPattern[] = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
const size_t kIdentifierTextLen = sizeof kIdentifierPattern - 1;

// Fills buf from getrandom, or from /dev/urandom on a kernel without it.
bool readRandom(uint8_t* buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t k = getrandom(buf + done, n - done, 0);
        if (k > 0) {
            done += static_cast<size_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && errno == ENOSYS)
            break;
        return false;
    }
    if (done == n)
        return true;

    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    while (done < n) {
        ssize_t k = read(fd, buf + done, n - done);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        done += static_cast<size_t>(k);
    }
    close(fd);
    return done == n;
}

// Reads an optional '-' and 1 to 10 digits within the 32-bit range, the whole
// of s.
bool parseCounter(const char* s, size_t len, int32_t* out)
{
    bool negative = len > 0 && s[0] == '-';
    size_t i = negative ? 1 : 0;
    if (len == i || len - i > 10)
        return false;
    long long v = 0;
    for (; i < len; i++) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    if (negative)
        v = -v;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

} // namespace

bool QOREpochVersion::operator==(const QOREpochVersion& other) const
{
    return memcmp(this, &other, sizeof *this) == 0;
}

QORStatus QOREpochVersion::renew()
{
    uint8_t id[sizeof m_identifier];
    if (!readRandom(id, sizeof id))
        return qor_s_system_call_failed;
    // Mark it a random (version 4, RFC 4122 variant) UUID.
    id[6] = static_cast<uint8_t>((id[6] & 0x0f) | 0x40);
    id[8] = static_cast<uint8_t>((id[8] & 0x3f) | 0x80);
    memcpy(m_identifier, id, sizeof id);
    m_counter = 0;
    return qor_s_ok;
}

void QOREpochVersion::increment()
{
    m_counter = static_cast<int32_t>(static_cast<uint32_t>(m_counter) + 1u);
}

void QOREpochVersion::set(const unsigned char* bytes)
{
    memcpy(this, bytes, sizeof *this);
}

void QOREpochVersion::get(unsigned char* bytes) const
{
    memcpy(bytes, this, sizeof *this);
}

int QOREpochVersion::format(char* buf, size_t size) const
{
    const uint8_t* b = m_identifier;
    uint32_t timeLow;
    uint16_t timeMid;
    uint16_t timeHigh;
    memcpy(&timeLow, b, 4);
    memcpy(&timeMid, b + 4, 2);
    memcpy(&timeHigh, b + 6, 2);
    return qor_snprintf(buf, size,
                        "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x:%08d",
                        static_cast<unsigned>(timeLow), static_cast<unsigned>(timeMid),
                        static_cast<unsigned>(timeHigh), b[8], b[9], b[10], b[11],
                        b[12], b[13], b[14], b[15], static_cast<int>(m_counter));
}

QORStatus QOREpochVersion::parse(const char* text, int len, QOREpochVersion* out)
{
    if (text == nullptr || out == nullptr || len < -1)
        return qor_s_invalid_argument;
    size_t n = len < 0 ? strlen(text) : static_cast<size_t>(len);
    if (n <= kIdentifierTextLen || text[kIdentifierTextLen] != ':')
        return qor_s_invalid_argument;

    // The digits, most significant first, as 16 big-endian bytes.
    uint8_t digits[sizeof m_identifier];
    size_t nibble = 0;
    for (size_t i = 0; i < kIdentifierTextLen; i++) {
        if (kIdentifierPattern[i] != 'x') {
            if (text[i] != kIdentifierPattern[i])
                return qor_s_invalid_argument;
            continue;
        }
        int h = qor_hex_value(static_cast<unsigned char>(text[i]));
        if (h < 0)
            return qor_s_invalid_argument;
        if (nibble % 2 == 0)
            digits[nibble / 2] = static_cast<uint8_t>(h << 4);
        else
            digits[nibble / 2] |= static_cast<uint8_t>(h);
        nibble++;
    }
    QOREpochVersion v;
    uint32_t timeLow = (uint32_t(digits[0]) << 24) | (uint32_t(digits[1]) << 16) |
                       (uint32_t(digits[2]) << 8) | digits[3];
    uint16_t timeMid = static_cast<uint16_t>((digits[4] << 8) | digits[5]);
    uint16_t timeHigh = static_cast<uint16_t>((digits[6] << 8) | digits[7]);
    memcpy(v.m_identifier, &timeLow, 4);
    memcpy(v.m_identifier + 4, &timeMid, 2);
    memcpy(v.m_identifier + 6, &timeHigh, 2);
    memcpy(v.m_identifier + 8, digits + 8, 8);
    const char* counter = text + kIdentifierTextLen + 1;
    if (!parseCounter(counter, n - kIdentifierTextLen - 1, &v.m_counter))
        return qor_s_invalid_argument;
    *out = v;
    return qor_s_ok;
}
