#include "core/encoders/cert_decoder/qorcertdecoder.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/encoders/cert_decoder/qorber.h"
#include "core/sundry/qorbase64.h"
#include "qortestdir.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes readTestCert(const char* name)
{
    std::string path = __FILE__;
    std::string der = qor_test_read_file(path.substr(0, path.rfind('/')) + "/testdata/" + name);
    EXPECT_FALSE(der.empty()) << "cannot read " << name;
    return Bytes(der.begin(), der.end());
}

// A definite-length item; lengths above 127 take the long form.
Bytes tlv(unsigned char tag, const Bytes& content)
{
    Bytes b{tag};
    size_t n = content.size();
    if (n < 0x80) {
        b.push_back(static_cast<unsigned char>(n));
    } else if (n < 0x100) {
        b.insert(b.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        b.insert(b.end(), {0x82, static_cast<unsigned char>(n >> 8),
                           static_cast<unsigned char>(n)});
    }
    b.insert(b.end(), content.begin(), content.end());
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

// A relative name of one attribute.
Bytes rdn(const Bytes& oid, unsigned char valueTag, const Bytes& value)
{
    return tlv(0x31, tlv(0x30, cat({tlv(0x06, oid), tlv(valueTag, value)})));
}

const Bytes kCN = {0x55, 0x04, 0x03};
const Bytes kO = {0x55, 0x04, 0x0a};

// A version 1 certificate outline around the given serial and names, with
// empty algorithm, validity, key and signature.
Bytes certificate(const Bytes& serial, const Bytes& issuer, const Bytes& subject)
{
    Bytes tbs = tlv(0x30, cat({tlv(0x02, serial), tlv(0x30, {}), issuer, tlv(0x30, {}),
                               subject, tlv(0x30, {})}));
    return tlv(0x30, cat({tbs, tlv(0x30, {}), tlv(0x03, {0x00})}));
}

Bytes name(std::initializer_list<Bytes> rdns)
{
    return tlv(0x30, cat(rdns));
}

struct Decoded {
    int code;
    std::string serial, issuer, subject;
};

Decoded decode(const Bytes& der)
{
    qor_decoded_certificate out, again;
    Decoded d;
    d.code = qor_decode_certificate_code(der.data(), static_cast<int>(der.size()), nullptr, &out);
    EXPECT_EQ(qor_decode_certificate(der.data(), static_cast<int>(der.size()), nullptr, &again),
              d.code == ber_ok ? 1 : 0);
    qor_free_decoded_certificate(&again, nullptr);
    if (d.code == ber_ok) {
        d.serial = out.serialNumber;
        d.issuer = out.issuer;
        d.subject = out.subject;
    } else {
        EXPECT_TRUE(out.serialNumber == nullptr && out.issuer == nullptr && out.subject == nullptr);
    }
    qor_free_decoded_certificate(&out, nullptr);
    return d;
}

// Memory functions that count live blocks and can refuse the n-th request.
struct CountingMemory {
    std::map<void*, size_t> live;
    int requests = 0;
    int failAt = -1;
    qor_cert_memory_functions functions = {this, alloc, release, grow};

    static void* alloc(void* ctx, size_t size) { return grow(ctx, nullptr, 0, size); }
    static void release(void* ctx, void* p)
    {
        EXPECT_EQ(static_cast<CountingMemory*>(ctx)->live.erase(p), 1u);
        free(p);
    }
    static void* grow(void* ctx, void* p, size_t oldSize, size_t newSize)
    {
        auto* m = static_cast<CountingMemory*>(ctx);
        EXPECT_EQ(p != nullptr ? m->live[p] : 0, oldSize);
        if (m->requests++ == m->failAt)
            return nullptr;
        m->live.erase(p);
        void* q = realloc(p, newSize);
        m->live[q] = newSize;
        return q;
    }
};

} // namespace

// Expected texts are what openssl x509 -nameopt RFC2253,-esc_msb,utf8
// prints for these files, with "." between serial bytes.
TEST(QORCertDecoderTest, RealCertificates)
{
    Decoded d = decode(readTestCert("basic.der"));
    ASSERT_EQ(d.code, ber_ok);
    EXPECT_EQ(d.serial, "01.0A.FF");
    EXPECT_EQ(d.subject, "CN=Host,O=Example,C=US");
    EXPECT_EQ(d.issuer, d.subject);
    d = decode(readTestCert("full.der"));
    ASSERT_EQ(d.code, ber_ok);
    EXPECT_EQ(d.serial, "7F.3A.0B.1C.2D.3E.4F.50");
    EXPECT_EQ(d.issuer, "CN=Example Root,O=Example CA,C=DE");
    EXPECT_EQ(d.subject, "E=admin@example.com,CN=www.example.com,OU=Web,O=Example Corp,"
                         "L=Albany,ST=New York,C=US");
    // Several attributes in one RDN, first or not.
    EXPECT_EQ(decode(readTestCert("multirdn.der")).subject, "CN=a,OU=b,O=Org");
    EXPECT_EQ(decode(readTestCert("multifirst.der")).subject, "O=Org,CN=a,OU=b");
    // Bytes after the certificate are not looked at.
    Bytes trailing = readTestCert("basic.der");
    trailing.push_back(0xff);
    EXPECT_EQ(decode(trailing).code, ber_ok);
}

TEST(QORCertDecoderTest, BmpStringNameInVersionOneCertificate)
{
    Decoded d = decode(readTestCert("bmp.der"));
    ASSERT_EQ(d.code, ber_ok);
    EXPECT_EQ(d.serial, "01.00");
    EXPECT_EQ(d.subject, "CN=Snow \xe2\x98\x83 Man,O=Snow");
    // The same value after a little-endian byte-order mark.
    Bytes n = name({rdn(kCN, 0x1e, {0xff, 0xfe, 'S', 0, 0x03, 0x26}),
                    rdn(kO, 0x1e, {0x00, 'S', 0x26, 0x03})});
    d = decode(certificate({0x05}, n, n));
    ASSERT_EQ(d.code, ber_ok);
    EXPECT_EQ(d.subject, "O=S\xe2\x98\x83,CN=\xef\xbb\xbfS\xe2\x98\x83");
    EXPECT_EQ(decode(certificate({1}, n, name({rdn(kCN, 0x1e, {0, 'S', 0})}))).code,
              ber_bad_length);
    // An unpaired surrogate does not convert.
    EXPECT_EQ(decode(certificate({1}, n, name({rdn(kCN, 0x1e, {0xd8, 0x00})}))).code,
              ber_out_of_range);
}

TEST(QORCertDecoderTest, RefusedNamesAndOutlineErrors)
{
    EXPECT_EQ(decode(readTestCert("serialattr.der")).code, ber_out_of_range);
    Bytes n = name({rdn(kCN, 0x13, {'x'})});
    Bytes universal = name({rdn(kCN, 0x1c, {0, 0, 0, 'x'})});
    EXPECT_EQ(decode(certificate({1}, n, universal)).code, ber_unexpected_type);
    Bytes serialNumberAttribute = name({rdn({0x55, 0x04, 0x05}, 0x13, {'1'})});
    EXPECT_EQ(decode(certificate({1}, serialNumberAttribute, n)).code, ber_out_of_range);
    Decoded d = decode(certificate({0x80}, name({}), n));
    ASSERT_EQ(d.code, ber_ok);
    EXPECT_EQ(d.issuer, "");
    EXPECT_EQ(d.serial, "80");
    Bytes good = certificate({1}, n, n);
    ASSERT_EQ(decode(good).code, ber_ok);
    // Four to-be-signed items cannot hold both names.
    Bytes shortTbs = tlv(0x30, cat({tlv(0x30, cat({tlv(0x02, {1}), tlv(0x30, {}), n, tlv(0x30, {})})),
                                    tlv(0x30, {}), tlv(0x03, {0})}));
    EXPECT_EQ(decode(shortTbs).code, ber_missing_element);
    // Two outer items instead of three.
    EXPECT_EQ(decode(tlv(0x30, cat({tlv(0x30, {}), tlv(0x30, {})}))).code, ber_item_count);
    // A serial that is not an INTEGER, an empty one, a version that is not one.
    Bytes wrongSerial = good;
    wrongSerial[4] = 0x04;
    EXPECT_EQ(decode(wrongSerial).code, ber_unexpected_type);
    EXPECT_EQ(decode(certificate({}, n, n)).code, ber_bad_length);
    Bytes tbs = cat({tlv(0xa0, tlv(0x04, {2})), tlv(0x02, {1}), tlv(0x30, {}), n,
                     tlv(0x30, {}), n});
    EXPECT_EQ(decode(tlv(0x30, cat({tlv(0x30, tbs), tlv(0x30, {}), tlv(0x03, {0})}))).code,
              ber_unexpected_type);
    EXPECT_EQ(decode(tlv(0x04, {1, 2})).code, ber_unexpected_type);
    EXPECT_EQ(qor_decode_certificate(nullptr, 10, nullptr, nullptr), 0);
}

TEST(QORCertDecoderTest, MemoryFunctionsCarryEveryText)
{
    Bytes der = readTestCert("bmp.der");
    CountingMemory m;
    qor_decoded_certificate out;
    ASSERT_EQ(qor_decode_certificate(der.data(), static_cast<int>(der.size()), &m.functions, &out), 1);
    EXPECT_EQ(m.live.size(), 3u);
    EXPECT_EQ(m.live[out.subject], 256u);
    qor_free_decoded_certificate(&out, &m.functions);
    EXPECT_TRUE(m.live.empty());
    int needed = m.requests;
    for (int i = 0; i < needed; i++) {
        CountingMemory f;
        f.failAt = i;
        EXPECT_EQ(qor_decode_certificate_code(der.data(), static_cast<int>(der.size()),
                                              &f.functions, &out),
                  ber_no_memory) << i;
        EXPECT_TRUE(f.live.empty()) << i;
    }
    // Texts longer than the first block grow in steps.
    Bytes n = name({rdn(kCN, 0x0c, Bytes(600, 'x'))});
    CountingMemory grown;
    Bytes longDer = certificate({1}, n, n);
    ASSERT_EQ(qor_decode_certificate(longDer.data(), static_cast<int>(longDer.size()), &grown.functions, &out), 1);
    EXPECT_EQ(std::string(out.issuer), "CN=" + std::string(600, 'x'));
    EXPECT_EQ(grown.live[out.issuer], 768u);
    qor_free_decoded_certificate(&out, &grown.functions);
}

// What web servers hand an adapter: the DER as a PEM block, wrapped in
// lines, perhaps with text around it.
TEST(QORCertDecoderTest, PemBlocks)
{
    Bytes der = readTestCert("basic.der");
    std::string b64(static_cast<size_t>(qor_base64_encoded_length(static_cast<int>(der.size()))), '\0');
    int n = 0;
    ASSERT_EQ(qor_base64_encode(der.data(), static_cast<int>(der.size()), &b64[0],
                                static_cast<int>(b64.size()), &n, qor_base64_standard), qor_s_ok);
    std::string wrapped;
    for (size_t i = 0; i < b64.size(); i += 64)
        wrapped += b64.substr(i, 64) + "\r\n";
    const std::string begin = "-----BEGIN CERTIFICATE-----\n", end = "-----END CERTIFICATE-----\n";
    const struct {
        std::string pem;
        bool ok;
    } rows[] = {
        {begin + wrapped + end, true},
        {"subject=x\n" + begin + " \t" + wrapped + end + "trailer", true},
        {begin + b64 + end, true},
        {begin + wrapped, false},                            // no end line
        {wrapped + end, false},                              // no begin line
        {begin + b64.substr(0, b64.size() - 4) + end, false},  // DER cut short
        {begin + "*" + b64 + end, false},                   // not Base64
        {begin + end, false},
    };
    for (const auto& r : rows) {
        qor_decoded_certificate out;
        ASSERT_EQ(qor_decode_pem_certificate(r.pem.data(), r.pem.size(), nullptr, &out), r.ok ? 1 : 0)
            << r.pem;
        if (r.ok) {
            EXPECT_STREQ(out.subject, "CN=Host,O=Example,C=US");
        } else {
            EXPECT_TRUE(out.serialNumber == nullptr && out.issuer == nullptr && out.subject == nullptr);
        }
        qor_free_decoded_certificate(&out, nullptr);
    }
}
