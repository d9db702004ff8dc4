// qorauthzuserstore.h: QORAuthzUserStore, the users and their password
// hashes from a file in the format the htpasswd tool writes ("name:hash"
// lines), the default user directory. libcrypt verifies the crypt(3) schemes (bcrypt, SHA-crypt,
// yescrypt, MD5-crypt); htpasswd's own "$apr1$" and "{SHA}" are verified
// here with libcrypto. Plain-text entries are refused. Read-only after
// load, so any number of threads may verify at once.
#pragma once
#include <memory>
#include <string>
#include <unordered_map>
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzpolicy.h"

class QORAuthzUserStore : public QORAuthzUserDirectory {
public:
    // Reads the file. Null, with the problems in errors, when it cannot be
    // read or a line is malformed; a plain-text or unknown hash is reported
    // in warnings and its user left out.
    static std::unique_ptr<QORAuthzUserStore> load(const std::string& path, QORAuthzErrors* errors,
                                                   QORAuthzErrors* warnings);

    // Costs what the hash's scheme costs (a bcrypt hash tens of
    // milliseconds). qor_s_not_available when the stored hash cannot be
    // computed (libcrypt refuses its setting, or libcrypto fails): that
    // says nothing about the client.
    QORStatus verify(const std::string& user, const std::string& password) override;
    QORStatus lookup(const std::string& user) override
    {
        return m_hashes.count(user) != 0 ? qor_s_ok : qor_s_not_found;
    }
    size_t size() const { return m_hashes.size(); }

    // The hash of password in htpasswd's "$apr1$" scheme with salt (at most
    // 8 characters used) and in the "{SHA}" scheme.
    static std::string apr1(const std::string& password, const std::string& salt);
    static std::string sha1(const std::string& password);
    // Whether hash is in a scheme verify() knows.
    static bool knownScheme(const std::string& hash);

private:
    QORAuthzUserStore() = default;
    std::unordered_map<std::string, std::string> m_hashes;
};
