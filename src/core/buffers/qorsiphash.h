// qorsiphash.h: SipHash-2-4, a keyed 64-bit hash. Without the key nobody
// can find two inputs that hash alike, so a table keyed by the hash of a
// secret (a password, a session cookie) neither holds the secret nor lets
// a client aim at another client's entry. The decision cache keys its
// entries with it.
#pragma once
#include <cstddef>
#include <cstdint>

class QORSipHash {
public:
    static constexpr size_t kKeySize = 16;

    // Starts a hash under the 16 bytes of key.
    explicit QORSipHash(const uint8_t* key);
    void add(const void* data, size_t length);
    // The hash of everything added; the object is not to be used afterwards.
    uint64_t finish();

private:
    void compress(uint64_t m);

    uint64_t m_v[4];
    uint8_t m_tail[8];
    size_t m_tailLength = 0;
    uint64_t m_total = 0;
};
