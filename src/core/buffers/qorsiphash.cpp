// qorsiphash.cpp: SipHash-2-4 over data added in pieces.
#include "core/buffers/qorsiphash.h"
#include <cstring>

namespace {

inline uint64_t rotl(uint64_t x, int b)
{
    return (x << b) | (x >> (64 - b));
}

inline uint64_t load64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

inline void round(uint64_t* v)
{
    v[0] += v[1]; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32);
    v[2] += v[3]; v[3] = rotl(v[3], 16); v[3] ^= v[2];
    v[0] += v[3]; v[3] = rotl(v[3], 21); v[3] ^= v[0];
    v[2] += v[1]; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32);
}

} // namespace

QORSipHash::QORSipHash(const uint8_t* key)
{
    uint64_t k0 = load64(key);
    uint64_t k1 = load64(key + 8);
    m_v[0] = k0 ^ 0x736f6d6570736575ULL;
    m_v[1] = k1 ^ 0x646f72616e646f6dULL;
    m_v[2] = k0 ^ 0x6c7967656e657261ULL;
    m_v[3] = k1 ^ 0x7465646279746573ULL;
}

void QORSipHash::compress(uint64_t m)
{
    m_v[3] ^= m;
    round(m_v);
    round(m_v);
    m_v[0] ^= m;
}

void QORSipHash::add(const void* data, size_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    m_total += length;
    if (m_tailLength > 0) {
        size_t take = 8 - m_tailLength < length ? 8 - m_tailLength : length;
        memcpy(m_tail + m_tailLength, p, take);
        m_tailLength += take;
        p += take;
        length -= take;
        if (m_tailLength < 8)
            return;
        compress(load64(m_tail));
        m_tailLength = 0;
    }
    for (; length >= 8; p += 8, length -= 8)
        compress(load64(p));
    memcpy(m_tail, p, length);
    m_tailLength = length;
}

uint64_t QORSipHash::finish()
{
    uint8_t last[8] = {};
    memcpy(last, m_tail, m_tailLength);
    last[7] = static_cast<uint8_t>(m_total);
    compress(load64(last));
    m_v[2] ^= 0xff;
    for (int i = 0; i < 4; ++i)
        round(m_v);
    return m_v[0] ^ m_v[1] ^ m_v[2] ^ m_v[3];
}
