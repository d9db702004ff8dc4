// qorauthzloginform.h: QORAuthzLoginForm, the login page of form logins:
// the page built from the administrator's template (or the built-in one)
// with every inserted value HTML-escaped, its one-time anti-forgery tokens,
// the reading of the submitted urlencoded form with the library's form
// parser, and the check that keeps the page to return to on the same site.
// Thread-safe.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

class QORAuthzLoginForm {
public:
    // The markers a template holds; {{token}} is required.
    static const char kDefaultTemplate[];
    // Seconds a token stays good, and tokens kept at most.
    static const int kTokenLifetime = 3600;
    static const size_t kMaxTokens = 100000;

    // A new token (32 hexadecimal characters), or empty without random
    // bytes.
    std::string issueToken(int64_t now);
    // True once for a token issued within its lifetime; it is used up then.
    bool consumeToken(const std::string& token, int64_t now);

    // tmpl with {{action}}, {{target}}, {{token}} and {{message}} replaced
    // by the escaped values.
    static std::string render(const std::string& tmpl, const std::string& action,
                              const std::string& target, const std::string& token,
                              const std::string& message);
    // target when it is a path on this site ("/" then not "/" or "\", no
    // backslash, no control character), else "/".
    static std::string safeTarget(const std::string& target);
    // The fields of an application/x-www-form-urlencoded body; false when
    // it is malformed.
    static bool parseForm(const std::string& body, std::map<std::string, std::string>* fields);

private:
    std::mutex m_lock;
    std::unordered_map<std::string, int64_t> m_tokens;
    std::deque<std::string> m_order;
};
