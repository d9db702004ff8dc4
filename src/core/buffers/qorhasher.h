// qorhasher.h: string hashers. Strings and views carry a hasher and cache
// its result; hash tables bucket by it. All hashers share the djb2-xor mix
// (h = 5381; h = h * 33 ^ c), so equal texts of one element type hash alike.
#pragma once
#include <cstdint>
#include <cwchar>
#include "core/platform/qorlox.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
template <class Ch>
class QORStringHasherT {
public:
    virtual uint32_t hash(const Ch* s, unsigned int length) const;

protected:
    ~QORStringHasherT() = default;
};

static const uint32_t kQORHashSeed = 5381;

inline uint32_t qor_hash_mix(uint32_t h, uint32_t c)
{
    return (h * 33) ^ c;
}

// char is mixed as a signed char widened to 32 bits.
template <class Ch>
uint32_t QORStringHasherT<Ch>::hash(const Ch* s, unsigned int length) const
{
    uint32_t h = kQORHashSeed;
    for (unsigned int i = 0; i < length; i++)
        h = qor_hash_mix(h, static_cast<uint32_t>(s[i]));
    return h;
}

template <>
inline uint32_t QORStringHasherT<char>::hash(const char* s,
                                             unsigned int length) const
{
    uint32_t h = kQORHashSeed;
    for (unsigned int i = 0; i < length; i++)
        h = qor_hash_mix(h, static_cast<uint32_t>(
                                static_cast<int32_t>(static_cast<signed char>(s[i]))));
    return h;
}

class QORStringHasher : public QORStringHasherT<char> {
public:
    constexpr QORStringHasher() {}
};

class QORWStringHasher : public QORStringHasherT<lox_unichar_t> {
public:
    constexpr QORWStringHasher() {}
};

class QORSysWStringHasher : public QORStringHasherT<wchar_t> {
public:
    constexpr QORSysWStringHasher() {}
};

class QORBinaryHasher : public QORStringHasherT<unsigned char> {
public:
    constexpr QORBinaryHasher() {}
};

// Case-insensitive: ASCII bytes are mixed lower-cased; a multi-byte
// character is decoded to one unichar, lower-cased in the process locale and
// mixed as its 16-bit value. Text that stops decoding hashes as far as it got.
class QORICaseStringHasher : public QORStringHasherT<char> {
public:
    constexpr QORICaseStringHasher() {}
    uint32_t hash(const char* s, unsigned int length) const override;

protected:
    virtual lox_cs_t codeSet() const;
};

class QORLCPICaseStringHasher : public QORICaseStringHasher {
public:
    constexpr QORLCPICaseStringHasher() {}

protected:
    lox_cs_t codeSet() const override;
};

extern QORStringHasher qor_string_hasher;
extern QORWStringHasher qor_unichar_t_hasher;
extern QORSysWStringHasher qor_wchar_t_hasher;
extern QORBinaryHasher qor_binary_hasher;
extern QORICaseStringHasher qor_icase_string_hasher;
extern QORLCPICaseStringHasher qor_lcp_icase_string_hasher;

QOR_EXPORT_END
