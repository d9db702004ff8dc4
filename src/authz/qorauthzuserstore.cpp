// qorauthzuserstore.cpp: reading the users file and verifying passwords.
#include "authz/qorauthzuserstore.h"
#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <cerrno>
#include <cstring>
#include "core/sundry/qorbase64.h"

namespace {

// The crypt(3) schemes libcrypt verifies.
const char* const kCryptPrefixes[] = {"$2y$", "$2b$", "$2a$", "$6$", "$5$", "$y$", "$1$"};
const char kAPR1[] = "$apr1$";
const char kSHA[] = "{SHA}";

bool startsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// Equal length and bytes, in time that depends on the length only.
bool sameHash(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string md5(const std::string& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data.data(), data.size(), out, &n, EVP_md5(), nullptr) != 1)
        return std::string();
    return std::string(reinterpret_cast<char*>(out), n);
}

// crypt(3)'s Base64: 6 bits at a time, least significant first.
void to64(std::string* out, unsigned long v, int n)
{
    static const char kItoa64[] =
        "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    while (n-- > 0) {
        out->push_back(kItoa64[v & 0x3f]);
        v >>= 6;
    }
}

QORStatus cryptVerify(const std::string& password, const std::string& hash)
{
    // One work area per thread: crypt_r's is large, and zeroed once.
    thread_local std::unique_ptr<crypt_data> data;
    if (!data) {
        data.reset(new crypt_data);
        memset(data.get(), 0, sizeof(crypt_data));
    }
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    // Failures give null or a string starting with "*": the stored setting
    // is one libcrypt cannot compute, whatever the password.
    if (out == nullptr || out[0] == '*')
        return qor_s_not_available;
    return sameHash(out, hash) ? qor_s_ok : qor_s_permission_denied;
}

// Good or bad by the computed hash; qor_s_not_available when none could be
// made.
QORStatus compare(const std::string& computed, const std::string& hash)
{
    if (computed.empty())
        return qor_s_not_available;
    return sameHash(computed, hash) ? qor_s_ok : qor_s_permission_denied;
}

} // namespace

std::string QORAuthzUserStore::apr1(const std::string& pw, const std::string& saltIn)
{
    std::string salt = saltIn.substr(0, std::min<size_t>(8, saltIn.find('$')));
    std::string ctx = pw + kAPR1 + salt;
    std::string alt = md5(pw + salt + pw);
    if (alt.size() != 16)
        return std::string();
    for (size_t left = pw.size(); left > 0; left -= std::min<size_t>(left, 16))
        ctx.append(alt, 0, std::min<size_t>(left, 16));
    for (size_t i = pw.size(); i != 0; i >>= 1)
        ctx.push_back((i & 1) != 0 ? '\0' : pw[0]);
    std::string fin = md5(ctx);
    for (int i = 0; i < 1000 && fin.size() == 16; i++) {
        std::string round = (i & 1) != 0 ? pw : fin;
        if (i % 3 != 0)
            round += salt;
        if (i % 7 != 0)
            round += pw;
        round += (i & 1) != 0 ? fin : pw;
        fin = md5(round);
    }
    if (fin.size() != 16)
        return std::string();
    const unsigned char* f = reinterpret_cast<const unsigned char*>(fin.data());
    std::string out = std::string(kAPR1) + salt + "$";
    to64(&out, (f[0] << 16) | (f[6] << 8) | f[12], 4);
    to64(&out, (f[1] << 16) | (f[7] << 8) | f[13], 4);
    to64(&out, (f[2] << 16) | (f[8] << 8) | f[14], 4);
    to64(&out, (f[3] << 16) | (f[9] << 8) | f[15], 4);
    to64(&out, (f[4] << 16) | (f[10] << 8) | f[5], 4);
    to64(&out, f[11], 2);
    return out;
}

std::string QORAuthzUserStore::sha1(const std::string& password)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(password.data(), password.size(), digest, &n, EVP_sha1(), nullptr) != 1)
        return std::string();
    char text[64];
    int len = 0;
    if (qor_base64_encode(digest, static_cast<int>(n), text, sizeof text, &len,
                          qor_base64_standard) != qor_s_ok)
        return std::string();
    return std::string(kSHA) + std::string(text, static_cast<size_t>(len));
}

bool QORAuthzUserStore::knownScheme(const std::string& hash)
{
    if (startsWith(hash, kAPR1) || startsWith(hash, kSHA))
        return true;
    for (const char* p : kCryptPrefixes)
        if (startsWith(hash, p))
            return true;
    return false;
}

std::unique_ptr<QORAuthzUserStore> QORAuthzUserStore::load(const std::string& path,
                                                           QORAuthzErrors* errors,
                                                           QORAuthzErrors* warnings)
{
    std::string text;
    if (!qor_authz_read_file(path, &text)) {
        errors->add(path, 0, "", std::string("cannot be read: ") + strerror(errno));
        return nullptr;
    }
    std::unique_ptr<QORAuthzUserStore> store(new QORAuthzUserStore());
    bool ok = true;
    std::vector<std::string> lines = qor_authz_lines(text);
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string& l = lines[i];
        int line = static_cast<int>(i + 1);
        if (l.find_first_not_of(" \t") == std::string::npos || l[0] == '#')
            continue;
        size_t colon = l.find(':');
        if (colon == 0 || colon == std::string::npos) {
            errors->add(path, line, "", "not \"name:hash\"");
            ok = false;
            continue;
        }
        std::string user = l.substr(0, colon);
        std::string hash = l.substr(colon + 1);
        bool printable = true;
        for (unsigned char c : user)
            printable = printable && c >= 0x20 && c != 0x7f;
        if (!printable) {
            // The name goes into a request header and the web server's log.
            errors->add(path, line, "", "a user name holds a control character");
            ok = false;
            continue;
        }
        if (!knownScheme(hash)) {
            // The hash is not repeated: it may be the password itself.
            warnings->add(path, line, user,
                          "refused: a plain-text or unknown password scheme; the user "
                          "cannot log in");
            continue;
        }
        if (!store->m_hashes.emplace(user, hash).second) {
            errors->add(path, line, user, "the user is named twice");
            ok = false;
        }
    }
    return ok ? std::move(store) : nullptr;
}

QORStatus QORAuthzUserStore::verify(const std::string& user, const std::string& password)
{
    auto it = m_hashes.find(user);
    if (it == m_hashes.end())
        return qor_s_permission_denied;
    const std::string& hash = it->second;
    if (startsWith(hash, kAPR1))
        return compare(apr1(password, hash.substr(strlen(kAPR1))), hash);
    if (startsWith(hash, kSHA))
        return compare(sha1(password), hash);
    return cryptVerify(password, hash);
}
