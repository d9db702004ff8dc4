// qorcertdecoder.cpp: walks a certificate's fixed outline with the BER
// reader: certificate, to-be-signed part, serial and the two names. The
// walk has a fixed depth; only the reader's own scans depend on the input.
#include "core/encoders/cert_decoder/qorcertdecoder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/encoders/cert_decoder/qorber.h"
#include "core/platform/qorlox.h"
#include "core/sundry/qorbase64.h"

namespace {

void* defaultAlloc(void*, size_t size)
{
    return malloc(size ? size : 1);
}

void defaultFree(void*, void* p)
{
    free(p);
}

void* defaultRealloc(void*, void* p, size_t, size_t newSize)
{
    return realloc(p, newSize ? newSize : 1);
}

const qor_cert_memory_functions kDefaultMemory = {
    nullptr, defaultAlloc, defaultFree, defaultRealloc};

const int kTbsCapacity = 10;
const int kRdnCapacity = 64;
const int kAttributeCapacity = 16;
const size_t kTextStep = 256;

struct AttributeName {
    const unsigned char* oid; // content bytes of the object identifier
    int oidLength;
    const char* name;
    int nameLength;
};

const unsigned char kOidCN[] = {0x55, 0x04, 0x03};
const unsigned char kOidC[] = {0x55, 0x04, 0x06};
const unsigned char kOidL[] = {0x55, 0x04, 0x07};
const unsigned char kOidST[] = {0x55, 0x04, 0x08};
const unsigned char kOidO[] = {0x55, 0x04, 0x0a};
const unsigned char kOidOU[] = {0x55, 0x04, 0x0b};
const unsigned char kOidE[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x01};

#define QOR_ATTRIBUTE(oid, name) {oid, sizeof oid, name, sizeof name - 1}
const AttributeName kAttributeNames[] = {
    QOR_ATTRIBUTE(kOidCN, "CN"), QOR_ATTRIBUTE(kOidC, "C"),
    QOR_ATTRIBUTE(kOidL, "L"),   QOR_ATTRIBUTE(kOidST, "ST"),
    QOR_ATTRIBUTE(kOidO, "O"),   QOR_ATTRIBUTE(kOidOU, "OU"),
    QOR_ATTRIBUTE(kOidE, "E"),
};
#undef QOR_ATTRIBUTE

// A growing, always terminated text in the caller's memory.
class Text {
public:
    explicit Text(const qor_cert_memory_functions* mem)
        : m_mem(mem)
    {
    }
    ~Text()
    {
        if (m_data != nullptr)
            m_mem->free(m_mem->context, m_data);
    }

    bool append(const void* s, size_t n)
    {
        if (!reserve(n))
            return false;
        memcpy(m_data + m_length, s, n);
        m_length += n;
        m_data[m_length] = 0;
        return true;
    }
    bool append(const char* s) { return append(s, strlen(s)); }

    // Room for n more bytes and the terminator, grown in steps of 256.
    bool reserve(size_t n)
    {
        if (n > SIZE_MAX - m_length - kTextStep)
            return false;
        size_t need = m_length + n + 1;
        if (m_data != nullptr && need <= m_capacity)
            return true;
        size_t capacity = m_capacity == 0 ? kTextStep : m_capacity;
        if (need > capacity)
            capacity += (need - capacity + kTextStep - 1) / kTextStep * kTextStep;
        char* p = static_cast<char*>(
            m_data == nullptr ? m_mem->alloc(m_mem->context, capacity)
                              : m_mem->realloc(m_mem->context, m_data, m_capacity, capacity));
        if (p == nullptr)
            return false;
        if (m_data == nullptr)
            p[0] = 0;
        m_data = p;
        m_capacity = capacity;
        return true;
    }
    // The caller takes the text over.
    char* take()
    {
        char* p = m_data;
        m_data = nullptr;
        m_length = m_capacity = 0;
        return p;
    }

private:
    const qor_cert_memory_functions* m_mem;
    char* m_data = nullptr;
    size_t m_length = 0;
    size_t m_capacity = 0;
};

// Scratch memory through the caller's functions, freed on every path.
class Scratch {
public:
    Scratch(const qor_cert_memory_functions* mem, size_t size)
        : m_mem(mem)
        , m_p(mem->alloc(mem->context, size))
    {
    }
    ~Scratch()
    {
        if (m_p != nullptr)
            m_mem->free(m_mem->context, m_p);
    }
    void* get() const { return m_p; }

private:
    const qor_cert_memory_functions* m_mem;
    void* m_p;
};

const AttributeName* attributeNameOf(const ber_item& oid)
{
    for (const AttributeName& a : kAttributeNames)
        if (a.oidLength == oid.length && memcmp(a.oid, oid.content, static_cast<size_t>(oid.length)) == 0)
            return &a;
    return nullptr;
}

// A BMPString holds big-endian UTF-16 unless it starts with a little-endian
// byte-order mark.
int appendBmpString(const ber_item& value, Text* text,
                    const qor_cert_memory_functions* mem)
{
    if (value.length % 2 != 0)
        return ber_bad_length;
    int units = value.length / 2;
    if (units == 0)
        return ber_ok;
    Scratch wide(mem, static_cast<size_t>(units) * sizeof(lox_unichar_t));
    size_t utf8Size = static_cast<size_t>(units) * 3 + 1;
    Scratch utf8(mem, utf8Size);
    if (wide.get() == nullptr || utf8.get() == nullptr)
        return ber_no_memory;
    lox_unichar_t* w = static_cast<lox_unichar_t*>(wide.get());
    const unsigned char* p = value.content;
    bool little = p[0] == 0xff && p[1] == 0xfe;
    for (int i = 0; i < units; i++, p += 2)
        w[i] = static_cast<lox_unichar_t>(little ? (p[1] << 8 | p[0]) : (p[0] << 8 | p[1]));
    int n = lox_from_ucs2_r(lox_cs_utf8(), w, units, static_cast<char*>(utf8.get()),
                            static_cast<int>(utf8Size));
    if (n < 0)
        return ber_out_of_range;
    return text->append(utf8.get(), static_cast<size_t>(n)) ? ber_ok : ber_no_memory;
}

// One attribute, a SEQUENCE of object identifier and value, as NAME=value.
int appendAttribute(const ber_item& attribute, Text* text,
                    const qor_cert_memory_functions* mem)
{
    ber_item parts[2];
    int count;
    int rc = ber_unpack(&attribute, parts, 2, &count, ber_tag_sequence);
    if (rc != ber_ok)
        return rc;
    if (count != 2)
        return ber_item_count;
    if (parts[0].tag != ber_tag_oid)
        return ber_unexpected_type;
    const AttributeName* name = attributeNameOf(parts[0]);
    if (name == nullptr)
        return ber_out_of_range;
    if (!text->append(name->name, static_cast<size_t>(name->nameLength)) || !text->append("=", 1))
        return ber_no_memory;
    const ber_item& value = parts[1];
    if (value.tag == ber_tag_universal_string)
        return ber_unexpected_type;
    if (value.tag == ber_tag_bmp_string)
        return appendBmpString(value, text, mem);
    return text->append(value.content, static_cast<size_t>(value.length)) ? ber_ok : ber_no_memory;
}

// The relative distinguished names from the last encoded to the first, the
// attributes of each in their encoded order.
int decodeName(const ber_item& name, const qor_cert_memory_functions* mem, char** out)
{
    ber_item rdns[kRdnCapacity];
    int rdnCount;
    int rc = ber_unpack(&name, rdns, kRdnCapacity, &rdnCount, ber_tag_sequence);
    if (rc != ber_ok)
        return rc;
    Text text(mem);
    if (!text.reserve(0))
        return ber_no_memory;
    bool first = true;
    for (int i = rdnCount - 1; i >= 0; i--) {
        ber_item attributes[kAttributeCapacity];
        int count;
        rc = ber_unpack(&rdns[i], attributes, kAttributeCapacity, &count, ber_tag_set);
        if (rc != ber_ok)
            return rc;
        for (int j = 0; j < count; j++) {
            if (!first && !text.append(",", 1))
                return ber_no_memory;
            first = false;
            rc = appendAttribute(attributes[j], &text, mem);
            if (rc != ber_ok)
                return rc;
        }
    }
    *out = text.take();
    return ber_ok;
}

int decodeSerial(const ber_item& serial, const qor_cert_memory_functions* mem, char** out)
{
    static const char kHex[] = "0123456789ABCDEF";
    ber_buffer b;
    int rc = ber_get_buf(&serial, &b, ber_tag_integer);
    if (rc != ber_ok)
        return rc;
    if (b.length == 0)
        return ber_bad_length;
    Text text(mem);
    if (!text.reserve(static_cast<size_t>(b.length) * 3))
        return ber_no_memory;
    for (int i = 0; i < b.length; i++) {
        char digits[3] = {kHex[b.data[i] >> 4], kHex[b.data[i] & 0xf], '.'};
        text.append(digits, i + 1 < b.length ? 3 : 2);
    }
    *out = text.take();
    return ber_ok;
}

void freeText(const qor_cert_memory_functions* mem, char** p)
{
    if (*p != nullptr)
        mem->free(mem->context, *p);
    *p = nullptr;
}

int decode(const unsigned char* der, int length, const qor_cert_memory_functions* mem,
           qor_decoded_certificate* out)
{
    ber_buffer input = {der, length};
    ber_item certificate;
    int rc = ber_decode(&input, &certificate);
    if (rc != ber_ok)
        return rc;
    ber_item top[3];
    int count;
    rc = ber_unpack(&certificate, top, 3, &count, ber_tag_sequence);
    if (rc != ber_ok)
        return rc;
    if (count != 3)
        return ber_item_count;

    ber_item tbs[kTbsCapacity];
    rc = ber_unpack(&top[0], tbs, kTbsCapacity, &count, ber_tag_sequence);
    if (rc != ber_ok)
        return rc;
    int i = 0;
    if (count > 0 && tbs[0].tag == ber_tag_explicit_version) {
        ber_item version;
        int n;
        rc = ber_unpack(&tbs[0], &version, 1, &n, 0);
        if (rc != ber_ok)
            return rc;
        if (n != 1)
            return ber_missing_element;
        if (version.tag != ber_tag_integer)
            return ber_unexpected_type;
        i = 1;
    }
    // Serial, signature algorithm, issuer, validity, subject.
    if (count < i + 5)
        return ber_missing_element;
    rc = decodeSerial(tbs[i], mem, &out->serialNumber);
    if (rc == ber_ok)
        rc = decodeName(tbs[i + 2], mem, &out->issuer);
    if (rc == ber_ok)
        rc = decodeName(tbs[i + 4], mem, &out->subject);
    return rc;
}

} // namespace

const qor_cert_memory_functions* qor_cert_default_memory_functions(void)
{
    return &kDefaultMemory;
}

int qor_decode_certificate_code(const unsigned char* der, int length,
                                const qor_cert_memory_functions* mem,
                                qor_decoded_certificate* out)
{
    if (out == nullptr)
        return ber_out_of_range;
    out->serialNumber = out->issuer = out->subject = nullptr;
    if (der == nullptr || length < 0)
        return ber_bad_length;
    if (mem == nullptr)
        mem = &kDefaultMemory;
    int rc = decode(der, length, mem, out);
    if (rc != ber_ok)
        qor_free_decoded_certificate(out, mem);
    return rc;
}

int qor_decode_certificate(const unsigned char* der, int length,
                           const qor_cert_memory_functions* mem,
                           qor_decoded_certificate* out)
{
    return qor_decode_certificate_code(der, length, mem, out) == ber_ok ? 1 : 0;
}

int qor_decode_pem_certificate(const char* pem, size_t length,
                               const qor_cert_memory_functions* mem,
                               qor_decoded_certificate* out)
{
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    if (out != nullptr)
        *out = qor_decoded_certificate{nullptr, nullptr, nullptr};
    if (pem == nullptr || out == nullptr || length > INT32_MAX)
        return 0;
    const char* end = pem + length;
    const char* body = static_cast<const char*>(memmem(pem, length, kBegin, sizeof kBegin - 1));
    if (body == nullptr)
        return 0;
    body += sizeof kBegin - 1;
    const char* stop = static_cast<const char*>(
        memmem(body, static_cast<size_t>(end - body), kEnd, sizeof kEnd - 1));
    if (stop == nullptr)
        return 0;
    // Base64 without its blanks, then the DER it decodes to, in one block.
    size_t n = static_cast<size_t>(stop - body);
    char* text = static_cast<char*>(malloc(n + n + 1));
    if (text == nullptr)
        return 0;
    int textLength = 0;
    for (const char* p = body; p < stop; ++p)
        if (*p != '\r' && *p != '\n' && *p != ' ' && *p != '\t')
            text[textLength++] = *p;
    unsigned char* der = reinterpret_cast<unsigned char*>(text + n);
    int derLength = 0;
    int decoded = 0;
    if (qor_base64_decode(text, textLength, der, static_cast<int>(n) + 1, &derLength,
                          qor_base64_standard)
        == qor_s_ok)
        decoded = qor_decode_certificate(der, derLength, mem, out);
    free(text);
    return decoded;
}

void qor_free_decoded_certificate(qor_decoded_certificate* cert,
                                  const qor_cert_memory_functions* mem)
{
    if (cert == nullptr)
        return;
    if (mem == nullptr)
        mem = &kDefaultMemory;
    freeText(mem, &cert->serialNumber);
    freeText(mem, &cert->issuer);
    freeText(mem, &cert->subject);
}
