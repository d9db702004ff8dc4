// qorauthzloginform.h: QORAuthzLoginForm, the login page of form logins:
// the page built from the administrator's template (or the built-in one)
// with every inserted value HTML-escaped, the reading of the submitted
// urlencoded form with the library's form parser, and the check that keeps
// the page to return to on the same site. The page's one-time anti-forgery
// tokens live in the session store, so that another server can take the
// form.
#pragma once
#include <map>
#include <string>

class QORAuthzLoginForm {
public:
    // The markers a template holds; {{token}} is required.
    static const char kDefaultTemplate[];

    // tmpl with {{action}}, {{target}}, {{token}} and {{message}} replaced
    // by the escaped values.
    static std::string render(const std::string& tmpl, const std::string& action,
                              const std::string& target, const std::string& token,
                              const std::string& message);
    // target when it is a path on this site ("/" then not "/" or "\", no
    // backslash, no control character), else "/"; spaces, quotes, angle
    // brackets and bytes beyond ASCII percent-encoded.
    static std::string safeTarget(const std::string& target);
    // The fields of an application/x-www-form-urlencoded body; false when
    // it is malformed.
    static bool parseForm(const std::string& body, std::map<std::string, std::string>* fields);

};
