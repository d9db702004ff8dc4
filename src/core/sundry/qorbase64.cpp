// qorbase64.cpp: table-driven Base64 in both RFC 4648 alphabets.
#include "core/sundry/qorbase64.h"

#include <array>
#include <climits>
#include <cstdint>

namespace {

constexpr char kStandard[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUriSafe[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

const int8_t kInvalid = -1;

// Character to 6-bit value; kInvalid for every other byte, "=" included.
constexpr std::array<int8_t, 256> makeDecodeTable(const char* alphabet)
{
    std::array<int8_t, 256> t{};
    for (auto& v : t)
        v = kInvalid;
    for (int i = 0; i < 64; i++)
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    return t;
}

constexpr std::array<int8_t, 256> kDecodeStandard = makeDecodeTable(kStandard);
constexpr std::array<int8_t, 256> kDecodeUriSafe = makeDecodeTable(kUriSafe);

struct Alphabet {
    const char* encode;
    const std::array<int8_t, 256>* decode;
    bool paddingOptional;
};

const Alphabet kAlphabets[] = {
    {kStandard, &kDecodeStandard, false}, // qor_base64_standard
    {kUriSafe, &kDecodeUriSafe, true},    // qor_base64_uri_safe
};

const Alphabet* alphabetOf(qor_base64_alphabet_e a)
{
    unsigned i = static_cast<unsigned>(a);
    return i < sizeof kAlphabets / sizeof kAlphabets[0] ? &kAlphabets[i] : nullptr;
}

// Bytes that a final group of r characters (r = 0, 2 or 3) decodes to.
const int kTailBytes[4] = {0, -1, 1, 2};

} // namespace

int qor_base64_encoded_length(int n)
{
    if (n < 0)
        return -1;
    long long len = (static_cast<long long>(n) + 2) / 3 * 4;
    return len > INT_MAX ? -1 : static_cast<int>(len);
}

int qor_base64_decoded_max_length(int n)
{
    if (n < 0)
        return -1;
    return n / 4 * 3 + n % 4 * 3 / 4;
}

QORStatus qor_base64_encode(const unsigned char* in, int n, char* out,
                            int outSize, int* outLen,
                            qor_base64_alphabet_e alphabet)
{
    const Alphabet* a = alphabetOf(alphabet);
    if (a == nullptr || outLen == nullptr || n < 0 || outSize < 0 ||
        (in == nullptr && n > 0) || (out == nullptr && outSize > 0))
        return qor_s_invalid_argument;
    int needed = qor_base64_encoded_length(n);
    if (needed < 0)
        return qor_s_invalid_argument;
    *outLen = needed;
    if (outSize < needed)
        return qor_s_out_of_range;

    const char* e = a->encode;
    char* o = out;
    int i = 0;
    for (; n - i >= 3; i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        *o++ = e[v >> 18];
        *o++ = e[(v >> 12) & 63];
        *o++ = e[(v >> 6) & 63];
        *o++ = e[v & 63];
    }
    if (n - i > 0) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (n - i == 2)
            v |= uint32_t(in[i + 1]) << 8;
        *o++ = e[v >> 18];
        *o++ = e[(v >> 12) & 63];
        *o++ = n - i == 2 ? e[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    if (outSize > needed)
        *o = '\0';
    return qor_s_ok;
}

QORStatus qor_base64_decode(const char* in, int n, unsigned char* out,
                            int outSize, int* outLen,
                            qor_base64_alphabet_e alphabet)
{
    const Alphabet* a = alphabetOf(alphabet);
    if (a == nullptr || outLen == nullptr || n < 0 || outSize < 0 ||
        (in == nullptr && n > 0) || (out == nullptr && outSize > 0))
        return qor_s_invalid_argument;

    // Up to two "=" close the text, and only a text of whole groups.
    int pad = 0;
    while (pad < 2 && n - pad > 0 && in[n - pad - 1] == '=')
        pad++;
    if ((pad > 0 || !a->paddingOptional) && n % 4 != 0)
        return qor_s_conversion_failed;
    int len = n - pad;
    int tail = len % 4;
    if (kTailBytes[tail] < 0)
        return qor_s_conversion_failed;

    const std::array<int8_t, 256>& d = *a->decode;
    auto value = [&](int i) { return d[static_cast<unsigned char>(in[i])]; };
    for (int i = 0; i < len; i++) {
        if (value(i) == kInvalid)
            return qor_s_conversion_failed;
    }
    // The last character's bits below the final byte must be zero.
    static const int kUnusedMask[4] = {0, 0, 0x0f, 0x03};
    if (tail != 0 && (value(len - 1) & kUnusedMask[tail]) != 0)
        return qor_s_conversion_failed;

    int needed = len / 4 * 3 + kTailBytes[tail];
    *outLen = needed;
    if (outSize < needed)
        return qor_s_out_of_range;

    // A missing character of the final group counts as zero bits.
    unsigned char* o = out;
    for (int i = 0; i < len; i += 4) {
        int k = len - i < 4 ? len - i : 4;
        uint32_t v = 0;
        for (int j = 0; j < 4; j++)
            v = (v << 6) | (j < k ? uint32_t(value(i + j)) : 0u);
        for (int j = 0; j < k - 1; j++)
            *o++ = static_cast<unsigned char>(v >> (16 - 8 * j));
    }
    return qor_s_ok;
}
