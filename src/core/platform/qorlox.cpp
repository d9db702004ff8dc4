// qorlox.cpp: the internationalisation layer. UTF-8 is decoded and encoded by
// hand, single-byte code sets through 256-entry tables learnt from iconv when
// the handle is made, and only the remaining multi-byte code sets call iconv
// for each character. The hashers and comparators of every string call in
// here per character, so the common cases never reach iconv.
#include "core/platform/qorlox.h"

#include <iconv.h>
#include <langinfo.h>
#include <wctype.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

namespace {

const int kUtf8 = 0;
const int kSingleByte = 1;
const int kMultiByte = 2;

// Values of lox_codeset::byteChar besides code points.
const int32_t kInvalid = -1;
const int32_t kLead = -2;

// Undecodable bytes compare after every character, among themselves by value.
const uint32_t kByteKey = 0x110000;

const size_t kNameMax = 64;
const char kAsciiName[] = "ANSI_X3.4-1968";
const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

bool isSurrogate(uint32_t cp)
{
    return cp >= 0xD800 && cp <= 0xDFFF;
}

struct AsciiTables {
    unsigned char lower[128];
    unsigned char upper[128];
    unsigned char upperName[256];
    bool space[128];
    constexpr AsciiTables() : lower(), upper(), upperName(), space()
    {
        for (int c = 0; c < 128; c++) {
            lower[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            upper[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
            space[c] = c == ' ' || (c >= '\t' && c <= '\r');
        }
        for (int c = 0; c < 256; c++)
            upperName[c] = static_cast<unsigned char>(c < 128 ? upper[c] : c);
    }
};

constexpr AsciiTables kAscii;

// A UTF-8 lead byte: sequence length (0 for a byte that cannot start one) and
// the range allowed for the second byte, which is what rules out overlong
// forms, surrogates and values above 0x10FFFF.
struct Utf8Lead {
    uint8_t len = 0;
    uint8_t lo = 0;
    uint8_t hi = 0;
};

struct Utf8Table {
    Utf8Lead lead[256];
    constexpr Utf8Table() : lead()
    {
        for (int b = 0; b < 0x80; b++)
            lead[b] = {1, 0, 0};
        for (int b = 0xC2; b <= 0xDF; b++)
            lead[b] = {2, 0x80, 0xBF};
        for (int b = 0xE0; b <= 0xEF; b++)
            lead[b] = {3, 0x80, 0xBF};
        lead[0xE0] = {3, 0xA0, 0xBF};
        lead[0xED] = {3, 0x80, 0x9F};
        for (int b = 0xF0; b <= 0xF4; b++)
            lead[b] = {4, 0x80, 0xBF};
        lead[0xF0] = {4, 0x90, 0xBF};
        lead[0xF4] = {4, 0x80, 0x8F};
    }
};

constexpr Utf8Table kUtf8Table;

// Returns the byte count of the character at s, or 0 when the at most n
// bytes there are not a whole, shortest-form UTF-8 character. Stops reading
// at the first byte that does not fit, so a terminator is never passed.
int decodeUtf8(const unsigned char* s, size_t n, uint32_t* cp)
{
    Utf8Lead l = kUtf8Table.lead[s[0]];
    if (l.len == 1) {
        *cp = s[0];
        return 1;
    }
    if (l.len == 0 || n < 2 || s[1] < l.lo || s[1] > l.hi)
        return 0;
    uint32_t c = s[0] & (0xFFu >> (l.len + 1));
    c = c << 6 | (s[1] & 0x3F);
    for (size_t i = 2; i < l.len; i++) {
        if (i >= n || (s[i] & 0xC0) != 0x80)
            return 0;
        c = c << 6 | (s[i] & 0x3F);
    }
    *cp = c;
    return l.len;
}

int encodeUtf8(uint32_t cp, unsigned char* out)
{
    if (cp < 0x80) {
        out[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
        out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (isSurrogate(cp) || cp > 0x10FFFF)
        return 0;
    if (cp < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
        out[1] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
    out[1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

bool isUtf8Name(const char* name)
{
    char norm[8];
    size_t k = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
         *p; p++) {
        if (*p == '-' || *p == '_')
            continue;
        if (k == sizeof(norm) - 1)
            return false;
        norm[k++] = static_cast<char>(kAscii.upperName[*p]);
    }
    norm[k] = '\0';
    return strcmp(norm, "UTF8") == 0;
}

uint32_t lowerChar(uint32_t cp)
{
    if (cp < 0x80)
        return kAscii.lower[cp];
    wint_t l = towlower(static_cast<wint_t>(cp));
    if (l > 0x10FFFF || isSurrogate(l))
        return cp;
    return l;
}

// A 16-bit case mapping from glibc is kept only when it stays a 16-bit
// character: a unit never maps to half of a pair or beyond the basic plane.
lox_unichar_t mapUnit(lox_unichar_t wc, const unsigned char* ascii,
                      wint_t (*map)(wint_t))
{
    if (wc < 0x80)
        return ascii[wc];
    if (isSurrogate(wc))
        return wc;
    wint_t m = map(wc);
    if (m > 0xFFFF || isSurrogate(m))
        return wc;
    return static_cast<lox_unichar_t>(m);
}

} // namespace

struct lox_codeset {
    int kind;
    // Bytes 0x00-0x7F are the ASCII characters themselves (not so in
    // Shift_JIS, where 0x5C is the yen sign, nor in EBCDIC).
    bool ascii;
    // Process-wide handle: lox_cs_delete leaves it alone.
    bool shared;
    char name[kNameMax];
    // The character each byte is alone, or kInvalid, or (multi-byte code
    // sets) kLead for a byte that starts a longer character.
    int32_t byteChar[256];
    // Single-byte code sets: code point to byte, by pages of 256 code
    // points; pageOf[cp >> 8] is 0 or the page index plus one. Byte 0 in a
    // page means unmapped, as only U+0000 is byte 0.
    uint8_t pageOf[256];
    uint8_t (*pages)[256];
    // Multi-byte code sets: one descriptor each way, each under its own lock
    // because handles are shared between threads and iconv keeps state.
    iconv_t toWide;
    iconv_t fromWide;
    std::mutex toWideLock;
    std::mutex fromWideLock;
    std::atomic<int> mbMax;
    // Earlier local code sets, kept valid after lox_cs_local_reset.
    lox_codeset* nextLocal;
};

namespace {

lox_codeset* newHandle(int kind, const char* name)
{
    lox_codeset* cs = new (std::nothrow) lox_codeset();
    if (cs == nullptr)
        return nullptr;
    cs->kind = kind;
    cs->ascii = true;
    memcpy(cs->name, name, strnlen(name, kNameMax - 1));
    cs->pages = nullptr;
    cs->toWide = kNoIconv;
    cs->fromWide = kNoIconv;
    cs->mbMax.store(0);
    cs->nextLocal = nullptr;
    return cs;
}

void freeHandle(lox_codeset* cs)
{
    if (cs->toWide != kNoIconv)
        iconv_close(cs->toWide);
    if (cs->fromWide != kNoIconv)
        iconv_close(cs->fromWide);
    delete[] cs->pages;
    delete cs;
}

// Decodes the character at s (at most n bytes, n >= 1) with iconv: success
// only when exactly one code point comes out, counting what a flush releases
// (a few code sets hold a character back or turn one into two).
int decodeWithIconv(lox_codeset* cs, const unsigned char* s, size_t n,
                    uint32_t* cp)
{
    wchar_t out[2];
    char* in = const_cast<char*>(reinterpret_cast<const char*>(s));
    size_t inLeft = n;
    char* o = reinterpret_cast<char*>(out);
    size_t outLeft = sizeof(wchar_t);

    iconv(cs->toWide, nullptr, nullptr, nullptr, nullptr);
    iconv(cs->toWide, &in, &inLeft, &o, &outLeft);
    outLeft += sizeof(wchar_t);
    iconv(cs->toWide, nullptr, nullptr, &o, &outLeft);
    size_t used = n - inLeft;
    if (o - reinterpret_cast<char*>(out) != sizeof(wchar_t) || used == 0)
        return 0;
    uint32_t c = static_cast<uint32_t>(out[0]);
    if (c > 0x10FFFF || isSurrogate(c))
        return 0;
    *cp = c;
    return static_cast<int>(used);
}

// Caller holds fromWideLock.
int encodeWithIconv(lox_codeset* cs, uint32_t cp, unsigned char* s)
{
    wchar_t w = static_cast<wchar_t>(cp);
    char* in = reinterpret_cast<char*>(&w);
    size_t inLeft = sizeof(w);
    char* o = reinterpret_cast<char*>(s);
    size_t outLeft = LOX_MB_LEN_MAX;

    iconv(cs->fromWide, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cs->fromWide, &in, &inLeft, &o, &outLeft) == static_cast<size_t>(-1))
        return 0;
    if (iconv(cs->fromWide, nullptr, nullptr, &o, &outLeft) == static_cast<size_t>(-1))
        return 0;
    return static_cast<int>(o - reinterpret_cast<char*>(s));
}

// The byte count of the character at s in cs (at most n bytes, n >= 1), or 0
// when it does not decode. Never reads past a zero byte, so walks over
// terminated strings may pass SIZE_MAX for n.
int decodeAt(lox_codeset* cs, const unsigned char* s, size_t n, uint32_t* cp)
{
    if (cs->kind == kUtf8)
        return decodeUtf8(s, n, cp);
    int32_t c = cs->byteChar[s[0]];
    if (c >= 0) {
        *cp = static_cast<uint32_t>(c);
        return 1;
    }
    if (c == kInvalid)
        return 0;
    // No trail byte is zero in an accepted code set: stop at one.
    size_t limit = strnlen(reinterpret_cast<const char*>(s),
                           n < LOX_MB_LEN_MAX ? n : LOX_MB_LEN_MAX);
    std::lock_guard<std::mutex> guard(cs->toWideLock);
    return decodeWithIconv(cs, s, limit, cp);
}

// Writes cp in cs into s (room for LOX_MB_LEN_MAX bytes); returns the byte
// count, or 0 when cs has no such character.
int encodeChar(lox_codeset* cs, uint32_t cp, unsigned char* s)
{
    if (cs->kind == kUtf8)
        return encodeUtf8(cp, s);
    if (cp == 0 || (cp < 0x80 && cs->ascii)) {
        s[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cs->kind == kSingleByte) {
        if (cp > 0xFFFF || cs->pageOf[cp >> 8] == 0)
            return 0;
        s[0] = cs->pages[cs->pageOf[cp >> 8] - 1][cp & 0xFF];
        return s[0] != 0 ? 1 : 0;
    }
    std::lock_guard<std::mutex> guard(cs->fromWideLock);
    return encodeWithIconv(cs, cp, s);
}

// Builds the code point to byte pages from byteChar. The lowest byte wins
// where two bytes decode to one character.
bool buildSingleByteTables(lox_codeset* cs)
{
    int count = 0;
    for (int b = 1; b < 256; b++) {
        int32_t c = cs->byteChar[b];
        if (c > 0 && c <= 0xFFFF && cs->pageOf[c >> 8] == 0)
            cs->pageOf[c >> 8] = static_cast<uint8_t>(++count);
    }
    cs->pages = new (std::nothrow) uint8_t[count > 0 ? count : 1][256]();
    if (cs->pages == nullptr)
        return false;
    for (int b = 1; b < 256; b++) {
        int32_t c = cs->byteChar[b];
        if (c <= 0 || c > 0xFFFF)
            continue;
        uint8_t* slot = &cs->pages[cs->pageOf[c >> 8] - 1][c & 0xFF];
        if (*slot == 0)
            *slot = static_cast<uint8_t>(b);
    }
    cs->kind = kSingleByte;
    return true;
}

// What byte b is alone: its character, kLead when iconv wants more bytes,
// else kInvalid.
int32_t probeByte(lox_codeset* cs, int b)
{
    unsigned char byte = static_cast<unsigned char>(b);
    uint32_t cp;
    if (decodeWithIconv(cs, &byte, 1, &cp) == 1)
        return static_cast<int32_t>(cp);
    char* in = reinterpret_cast<char*>(&byte);
    size_t inLeft = 1;
    wchar_t w;
    char* o = reinterpret_cast<char*>(&w);
    size_t outLeft = sizeof(w);
    iconv(cs->toWide, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cs->toWide, &in, &inLeft, &o, &outLeft) == static_cast<size_t>(-1) &&
        errno == EINVAL)
        return kLead;
    return kInvalid;
}

// Learns what each byte is alone. A code set whose zero byte is not U+0000,
// or in which a byte below 0x80 needs more bytes (UTF-16, UTF-7, the ISO 2022
// family), cannot carry zero-terminated text and is refused. A code set where
// no byte needs more is single-byte and is served by tables from then on.
bool classifyBytes(lox_codeset* cs)
{
    bool multiByte = false;
    for (int b = 0; b < 256; b++) {
        int32_t c = probeByte(cs, b);
        cs->byteChar[b] = c;
        multiByte = multiByte || c == kLead;
        if (b < 0x80 && c == kLead)
            return false;
        if (b < 0x80 && c != b)
            cs->ascii = false;
    }
    if (cs->byteChar[0] != 0)
        return false;
    if (multiByte)
        return true;
    if (!buildSingleByteTables(cs))
        return false;
    iconv_close(cs->toWide);
    iconv_close(cs->fromWide);
    cs->toWide = kNoIconv;
    cs->fromWide = kNoIconv;
    return true;
}

// The ASCII set without iconv, for a process whose own code set iconv does
// not know.
lox_codeset* newAsciiHandle()
{
    lox_codeset* cs = newHandle(kSingleByte, kAsciiName);
    if (cs == nullptr)
        return nullptr;
    for (int b = 0; b < 256; b++)
        cs->byteChar[b] = b < 0x80 ? b : kInvalid;
    if (!buildSingleByteTables(cs)) {
        freeHandle(cs);
        return nullptr;
    }
    return cs;
}

lox_codeset* newSharedUtf8()
{
    lox_codeset* cs = newHandle(kUtf8, "UTF-8");
    if (cs != nullptr)
        cs->shared = true;
    return cs;
}

// One character at a time out of a counted run of bytes in a code set.
struct ByteSource {
    lox_codeset* cs;
    const unsigned char* p;
    size_t len;
    size_t pos;
    bool done() const { return pos == len; }
    bool next(uint32_t* cp)
    {
        int k = decodeAt(cs, p + pos, len - pos, cp);
        pos += static_cast<size_t>(k);
        return k > 0;
    }
};

// The same out of 16-bit units; a surrogate must be half of a whole pair.
struct UnitSource {
    const lox_unichar_t* p;
    size_t len;
    size_t pos;
    bool done() const { return pos == len; }
    bool next(uint32_t* cp)
    {
        uint32_t u = p[pos];
        if (!isSurrogate(u)) {
            *cp = u;
            pos++;
            return true;
        }
        if (u >= 0xDC00 || pos + 1 >= len)
            return false;
        uint32_t l = p[pos + 1];
        if (l < 0xDC00 || l > 0xDFFF)
            return false;
        *cp = 0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00);
        pos += 2;
        return true;
    }
};

// Converted characters go to a counted buffer; a null buffer only counts.
struct ByteSink {
    typedef char Unit;
    lox_codeset* cs;
    int encode(uint32_t cp, char* out)
    {
        return encodeChar(cs, cp, reinterpret_cast<unsigned char*>(out));
    }
};

struct UnitSink {
    typedef lox_unichar_t Unit;
    int encode(uint32_t cp, lox_unichar_t* out)
    {
        if (cp < 0x10000) {
            out[0] = static_cast<lox_unichar_t>(cp);
            return 1;
        }
        out[0] = static_cast<lox_unichar_t>(0xD800 + ((cp - 0x10000) >> 10));
        out[1] = static_cast<lox_unichar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        return 2;
    }
};

enum TranscodeResult { kDone, kBad, kFull };

// Converts the whole source into out[0..size) (or only counts when out is
// null), never splitting a character; *len receives the units written.
template <typename Source, typename Sink>
TranscodeResult transcode(Source& src, Sink sink, typename Sink::Unit* out,
                          size_t size, size_t* len)
{
    size_t& n = *len;
    n = 0;
    while (!src.done()) {
        uint32_t cp;
        if (!src.next(&cp))
            return kBad;
        typename Sink::Unit buf[LOX_MB_LEN_MAX];
        int k = sink.encode(cp, buf);
        if (k == 0)
            return kBad;
        if (out != nullptr) {
            if (static_cast<size_t>(k) > size - n)
                return kFull;
            memcpy(out + n, buf, static_cast<size_t>(k) * sizeof(buf[0]));
        }
        n += static_cast<size_t>(k);
    }
    return kDone;
}

template <typename Source, typename Sink>
int convertWhole(Source src, Sink sink, typename Sink::Unit* out, int outsize)
{
    if (out == nullptr || outsize < 0)
        return -1;
    size_t len;
    if (transcode(src, sink, out, static_cast<size_t>(outsize), &len) != kDone)
        return -1;
    if (len < static_cast<size_t>(outsize))
        out[len] = 0;
    return static_cast<int>(len);
}

// The input length of a whole-string conversion, or false when refused.
template <typename Unit>
bool inputLength(const Unit* in, int inlen, size_t* len)
{
    if (in == nullptr || inlen < -1)
        return false;
    if (inlen >= 0) {
        *len = static_cast<size_t>(inlen);
        return true;
    }
    size_t n = 0;
    while (in[n] != 0)
        n++;
    *len = n;
    return true;
}

// In the manner of mbstowcs/wcstombs: stop, without error, where the next
// character would not fit.
template <typename Source, typename Sink>
size_t convertTerminated(Source src, Sink sink, typename Sink::Unit* out,
                         size_t outsize)
{
    size_t len;
    if (transcode(src, sink, out, outsize, &len) == kBad)
        return static_cast<size_t>(-1);
    if (out != nullptr && len < outsize)
        out[len] = 0;
    return len;
}

std::mutex gLocalLock;
std::atomic<lox_codeset*> gLocal{nullptr};
// Every local handle ever given out; none is freed, since callers keep them.
lox_codeset* gLocalKept = nullptr;

lox_codeset* findKept(const char* name)
{
    for (lox_codeset* cs = gLocalKept; cs != nullptr; cs = cs->nextLocal)
        if (strcmp(cs->name, name) == 0)
            return cs;
    return nullptr;
}

// Caller holds gLocalLock.
lox_codeset* makeLocal()
{
    const char* name = nl_langinfo(CODESET);
    if (name == nullptr || *name == '\0')
        name = kAsciiName;
    if (isUtf8Name(name))
        return lox_cs_utf8();
    lox_codeset* cs = findKept(name);
    if (cs != nullptr)
        return cs;
    cs = lox_cs_new(name);
    if (cs == nullptr) {
        // A code set iconv cannot serve: the process is taken to be ASCII.
        cs = findKept(kAsciiName);
        if (cs != nullptr)
            return cs;
        cs = newAsciiHandle();
        if (cs == nullptr)
            return nullptr;
    }
    cs->shared = true;
    cs->nextLocal = gLocalKept;
    gLocalKept = cs;
    return cs;
}

} // namespace

lox_cs_t lox_cs_new(const char* name)
{
    if (name == nullptr || *name == '\0' || strlen(name) >= kNameMax ||
        strstr(name, "//") != nullptr)
        return nullptr;
    if (isUtf8Name(name))
        return newHandle(kUtf8, "UTF-8");

    lox_codeset* cs = newHandle(kMultiByte, name);
    if (cs == nullptr)
        return nullptr;
    cs->toWide = iconv_open("WCHAR_T", name);
    cs->fromWide = iconv_open(name, "WCHAR_T");
    if (cs->toWide == kNoIconv || cs->fromWide == kNoIconv ||
        !classifyBytes(cs)) {
        freeHandle(cs);
        return nullptr;
    }
    return cs;
}

void lox_cs_delete(lox_cs_t cs)
{
    if (cs == nullptr || cs->shared)
        return;
    freeHandle(cs);
}

lox_cs_t lox_cs_utf8(void)
{
    static lox_codeset* const utf8 = newSharedUtf8();
    return utf8;
}

lox_cs_t lox_cs_local(void)
{
    lox_codeset* cs = gLocal.load(std::memory_order_acquire);
    if (cs != nullptr)
        return cs;
    std::lock_guard<std::mutex> guard(gLocalLock);
    cs = gLocal.load(std::memory_order_relaxed);
    if (cs == nullptr) {
        cs = makeLocal();
        gLocal.store(cs, std::memory_order_release);
    }
    return cs;
}

void lox_cs_local_reset(void)
{
    gLocal.store(nullptr, std::memory_order_release);
}

const char* lox_cs_name(lox_cs_t cs)
{
    return cs != nullptr ? cs->name : nullptr;
}

int lox_cs_is_utf8(lox_cs_t cs)
{
    return cs != nullptr && cs->kind == kUtf8;
}

// Multi-byte code sets learn their longest character on first request by
// encoding the whole basic plane once.
int lox_cs_mb_max(lox_cs_t cs)
{
    if (cs == nullptr)
        return -1;
    if (cs->kind == kUtf8)
        return 4;
    if (cs->kind == kSingleByte)
        return 1;
    int max = cs->mbMax.load(std::memory_order_acquire);
    if (max != 0)
        return max;
    std::lock_guard<std::mutex> guard(cs->fromWideLock);
    max = cs->mbMax.load(std::memory_order_relaxed);
    if (max != 0)
        return max;
    unsigned char buf[LOX_MB_LEN_MAX];
    for (uint32_t cp = 0; cp < 0x10000; cp++) {
        if (isSurrogate(cp))
            continue;
        int k = encodeWithIconv(cs, cp, buf);
        if (k > max)
            max = k;
    }
    if (max == 0)
        max = LOX_MB_LEN_MAX;
    cs->mbMax.store(max, std::memory_order_release);
    return max;
}

int lox_mbtowc(lox_cs_t cs, lox_unichar_t* wc, const char* s, size_t n)
{
    if (cs == nullptr || s == nullptr || n == 0)
        return -1;
    uint32_t cp;
    int k = decodeAt(cs, reinterpret_cast<const unsigned char*>(s), n, &cp);
    if (k == 0 || cp > 0xFFFF)
        return -1;
    if (wc != nullptr)
        *wc = static_cast<lox_unichar_t>(cp);
    return k;
}

int lox_wctomb(lox_cs_t cs, char* s, lox_unichar_t wc)
{
    if (cs == nullptr || s == nullptr || isSurrogate(wc))
        return -1;
    int k = encodeChar(cs, wc, reinterpret_cast<unsigned char*>(s));
    return k > 0 ? k : -1;
}

lox_unichar_t lox_towlower(lox_unichar_t wc)
{
    return mapUnit(wc, kAscii.lower, towlower);
}

lox_unichar_t lox_towupper(lox_unichar_t wc)
{
    return mapUnit(wc, kAscii.upper, towupper);
}

int lox_iswspace(lox_unichar_t wc)
{
    if (wc < 0x80)
        return kAscii.space[wc];
    return iswspace(wc) != 0;
}

// Keys: a character compares as its lower case, an undecodable byte as
// kByteKey plus its value, the end of the n bytes as a terminator.
int lox_strnicmp(lox_cs_t cs, const char* a, const char* b, size_t n)
{
    if (a == b || n == 0)
        return 0;
    if (a == nullptr || b == nullptr)
        return a != nullptr ? 1 : -1;
    const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
    const unsigned char* ea = pa + n;
    const unsigned char* eb = pb + n;
    bool ascii = cs == nullptr || cs->ascii;

    for (;;) {
        // Runs of ASCII, the common case, need no decoding.
        size_t run = ascii ? static_cast<size_t>(ea - pa < eb - pb ? ea - pa : eb - pb) : 0;
        size_t i = 0;
        for (; i < run && (pa[i] | pb[i]) < 0x80; i++) {
            if (pa[i] != pb[i]) {
                int d = kAscii.lower[pa[i]] - kAscii.lower[pb[i]];
                if (d != 0)
                    return d;
            } else if (pa[i] == 0) {
                return 0;
            }
        }
        pa += i;
        pb += i;
        if (pa == ea && pb == eb)
            return 0;
        uint32_t ka = 0;
        uint32_t kb = 0;
        size_t la = 0;
        size_t lb = 0;
        uint32_t cp;
        if (pa < ea) {
            la = cs != nullptr ? decodeAt(cs, pa, static_cast<size_t>(ea - pa), &cp) : 0;
            // The same bytes are the same character: no case mapping needed.
            if (la > 0 && la <= static_cast<size_t>(eb - pb) && memcmp(pa, pb, la) == 0) {
                if (cp == 0)
                    return 0;
                pa += la;
                pb += la;
                continue;
            }
            ka = la > 0 ? lowerChar(cp) : kByteKey + *pa;
            la = la > 0 ? la : 1;
        }
        if (pb < eb) {
            lb = cs != nullptr ? decodeAt(cs, pb, static_cast<size_t>(eb - pb), &cp) : 0;
            kb = lb > 0 ? lowerChar(cp) : kByteKey + *pb;
            lb = lb > 0 ? lb : 1;
        }
        if (ka != kb)
            return ka < kb ? -1 : 1;
        if (ka == 0)
            return 0;
        pa += la;
        pb += lb;
    }
}

int lox_wcsncmp(const lox_unichar_t* a, const lox_unichar_t* b, size_t n)
{
    if (a == b)
        return 0;
    if (a == nullptr || b == nullptr)
        return a != nullptr ? 1 : -1;
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0)
            break;
    }
    return 0;
}

int lox_wcsnicmp(const lox_unichar_t* a, const lox_unichar_t* b, size_t n)
{
    if (a == b)
        return 0;
    if (a == nullptr || b == nullptr)
        return a != nullptr ? 1 : -1;
    for (size_t i = 0; i < n; i++) {
        if (a[i] == b[i]) {
            if (a[i] == 0)
                break;
            continue;
        }
        lox_unichar_t la = lox_towlower(a[i]);
        lox_unichar_t lb = lox_towlower(b[i]);
        if (la != lb)
            return la < lb ? -1 : 1;
    }
    return 0;
}

size_t lox_wcslen(const lox_unichar_t* s)
{
    size_t n = 0;
    if (s != nullptr)
        while (s[n] != 0)
            n++;
    return n;
}

const char* lox_strchr(lox_cs_t cs, const char* s, lox_unichar_t c)
{
    if (cs == nullptr || s == nullptr)
        return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    for (;;) {
        uint32_t cp;
        int k = decodeAt(cs, p, SIZE_MAX, &cp);
        if (k == 0)
            return nullptr;
        if (cp == c)
            return reinterpret_cast<const char*>(p);
        if (cp == 0)
            return nullptr;
        p += k;
    }
}

// The whole string must decode, even past the last match.
const char* lox_strrchr(lox_cs_t cs, const char* s, lox_unichar_t c)
{
    if (cs == nullptr || s == nullptr)
        return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* last = nullptr;
    for (;;) {
        uint32_t cp;
        int k = decodeAt(cs, p, SIZE_MAX, &cp);
        if (k == 0)
            return nullptr;
        if (cp == c)
            last = p;
        if (cp == 0)
            return reinterpret_cast<const char*>(last);
        p += k;
    }
}

int lox_strlower(lox_cs_t cs, char* s)
{
    if (cs == nullptr || s == nullptr)
        return -1;
    unsigned char* p = reinterpret_cast<unsigned char*>(s);
    uint32_t cp;
    for (size_t i = 0;;) {
        int k = decodeAt(cs, p + i, SIZE_MAX, &cp);
        if (k == 0)
            return -1;
        if (cp == 0)
            break;
        i += static_cast<size_t>(k);
    }
    for (size_t i = 0;;) {
        if (cs->ascii && p[i] < 0x80) {
            if (p[i] == 0)
                return 0;
            p[i] = kAscii.lower[p[i]];
            i++;
            continue;
        }
        int k = decodeAt(cs, p + i, SIZE_MAX, &cp);
        if (k == 0 || cp == 0)
            return 0;
        uint32_t lower = lowerChar(cp);
        unsigned char buf[LOX_MB_LEN_MAX];
        if (lower != cp && encodeChar(cs, lower, buf) == k)
            memcpy(p + i, buf, static_cast<size_t>(k));
        i += static_cast<size_t>(k);
    }
}

int lox_to_utf8(lox_cs_t cs, const char* in, int inlen, char* out, int outsize)
{
    size_t len;
    lox_codeset* utf8 = lox_cs_utf8();
    if (cs == nullptr || utf8 == nullptr || !inputLength(in, inlen, &len))
        return -1;
    ByteSource src = {cs, reinterpret_cast<const unsigned char*>(in), len, 0};
    return convertWhole(src, ByteSink{utf8}, out, outsize);
}

int lox_from_utf8(lox_cs_t cs, const char* in, int inlen, char* out,
                  int outsize)
{
    size_t len;
    lox_codeset* utf8 = lox_cs_utf8();
    if (cs == nullptr || utf8 == nullptr || !inputLength(in, inlen, &len))
        return -1;
    ByteSource src = {utf8, reinterpret_cast<const unsigned char*>(in), len, 0};
    return convertWhole(src, ByteSink{cs}, out, outsize);
}

int lox_to_ucs2_r(lox_cs_t cs, const char* in, int inlen, lox_unichar_t* out,
                  int outsize)
{
    size_t len;
    if (cs == nullptr || !inputLength(in, inlen, &len))
        return -1;
    ByteSource src = {cs, reinterpret_cast<const unsigned char*>(in), len, 0};
    return convertWhole(src, UnitSink(), out, outsize);
}

int lox_from_ucs2_r(lox_cs_t cs, const lox_unichar_t* in, int inlen, char* out,
                    int outsize)
{
    size_t len;
    if (cs == nullptr || !inputLength(in, inlen, &len))
        return -1;
    return convertWhole(UnitSource{in, len, 0}, ByteSink{cs}, out, outsize);
}

size_t lox_mbstowcs(lox_unichar_t* out, const char* in, size_t outsize)
{
    lox_codeset* cs = lox_cs_local();
    if (cs == nullptr || in == nullptr)
        return static_cast<size_t>(-1);
    ByteSource src = {cs, reinterpret_cast<const unsigned char*>(in), strlen(in), 0};
    return convertTerminated(src, UnitSink(), out, outsize);
}

size_t lox_wcstombs(char* out, const lox_unichar_t* in, size_t outsize)
{
    lox_codeset* cs = lox_cs_local();
    if (cs == nullptr || in == nullptr)
        return static_cast<size_t>(-1);
    return convertTerminated(UnitSource{in, lox_wcslen(in), 0}, ByteSink{cs},
                             out, outsize);
}
