// qorhasher.cpp: the case-insensitive hashers and the global instances.
#include "core/buffers/qorhasher.h"

#include <cctype>

QORStringHasher qor_string_hasher;
QORWStringHasher qor_unichar_t_hasher;
QORSysWStringHasher qor_wchar_t_hasher;
QORBinaryHasher qor_binary_hasher;
QORICaseStringHasher qor_icase_string_hasher;
QORLCPICaseStringHasher qor_lcp_icase_string_hasher;

namespace {

struct LowerTable {
    unsigned char map[128];
    LowerTable()
    {
        for (int i = 0; i < 128; i++)
            map[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
    }
};

const LowerTable kLower;

} // namespace

lox_cs_t QORICaseStringHasher::codeSet() const
{
    return lox_cs_utf8();
}

lox_cs_t QORLCPICaseStringHasher::codeSet() const
{
    return lox_cs_local();
}

uint32_t QORICaseStringHasher::hash(const char* s, unsigned int length) const
{
    uint32_t h = kQORHashSeed;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* end = p + length;
    lox_cs_t cs = nullptr;

    while (p < end) {
        if (*p < 0x80) {
            h = qor_hash_mix(h, kLower.map[*p]);
            p++;
            continue;
        }
        if (cs == nullptr)
            cs = codeSet();
        lox_unichar_t wc;
        int used = lox_mbtowc(cs, &wc, reinterpret_cast<const char*>(p),
                              static_cast<size_t>(end - p));
        if (used < 1)
            return h;
        h = qor_hash_mix(h, lox_towlower(wc));
        p += used;
    }
    return h;
}
