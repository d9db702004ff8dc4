// qorauthzloginform.cpp: the login page and its form.
#include "authz/qorauthzloginform.h"
#include "core/buffers/qorbuffercursor.h"
#include "core/buffers/qorstring.h"
#include "core/html/qorhtml.h"
#include "core/http/qorhttpparser.h"

const char QORAuthzLoginForm::kDefaultTemplate[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Log in</title>\n"
    "<style>body{font-family:sans-serif;max-width:24em;margin:4em auto}"
    "label,input{display:block;width:100%;margin:.3em 0}"
    ".message{color:#a00}</style></head>\n<body><h1>Log in</h1>\n"
    "<p class=\"message\">{{message}}</p>\n"
    "<form method=\"post\" action=\"{{action}}\">\n"
    "<label>User name <input name=\"username\" autocomplete=\"username\"></label>\n"
    "<label>Password <input name=\"password\" type=\"password\" "
    "autocomplete=\"current-password\"></label>\n"
    "<input type=\"hidden\" name=\"target\" value=\"{{target}}\">\n"
    "<input type=\"hidden\" name=\"token\" value=\"{{token}}\">\n"
    "<input type=\"submit\" value=\"Log in\"></form></body></html>\n";

namespace {

std::string escaped(const std::string& s)
{
    QORString out;
    if (QORHTML::escape(QORStringRef(s.data(), static_cast<int>(s.size())), &out, true) !=
        qor_s_ok)
        return std::string();
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

} // namespace

std::string QORAuthzLoginForm::render(const std::string& tmpl, const std::string& action,
                                      const std::string& target, const std::string& token,
                                      const std::string& message)
{
    const std::pair<const char*, std::string> markers[] = {
        {"{{action}}", escaped(action)},
        {"{{target}}", escaped(target)},
        {"{{token}}", escaped(token)},
        {"{{message}}", escaped(message)},
    };
    std::string out;
    size_t pos = 0;
    while (pos < tmpl.size()) {
        size_t open = tmpl.find("{{", pos);
        if (open == std::string::npos)
            break;
        out.append(tmpl, pos, open - pos);
        pos = open;
        bool replaced = false;
        for (auto& m : markers) {
            size_t len = strlen(m.first);
            if (tmpl.compare(open, len, m.first) == 0) {
                out += m.second;
                pos = open + len;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += "{{";
            pos = open + 2;
        }
    }
    out.append(tmpl, pos, std::string::npos);
    return out;
}

std::string QORAuthzLoginForm::safeTarget(const std::string& target)
{
    if (target.size() < 1 || target[0] != '/')
        return "/";
    if (target.size() > 1 && (target[1] == '/' || target[1] == '\\'))
        return "/";
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(target.size());
    for (unsigned char c : target) {
        if (c < 0x20 || c == 0x7f || c == '\\')
            return "/";
        // Not allowed in a URI: encoded, so that Location holds one.
        if (c == ' ' || c == '"' || c == '<' || c == '>' || c >= 0x80) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool QORAuthzLoginForm::parseForm(const std::string& body,
                                  std::map<std::string, std::string>* fields)
{
    // The parser decodes in place.
    std::string copy = body;
    QORBufferCursor cursor(&copy[0], static_cast<int>(copy.size()));
    QORHTTPFormDataSet set;
    if (!copy.empty() && QORHTTPParser::parsePostDataSet(&cursor, &set) != qor_s_ok)
        return false;
    for (QORHTTPFormDataSet::Iterator it = set.begin(); it.valid(); it.next()) {
        std::string name(it.key().data(), static_cast<size_t>(it.key().length()));
        // The first value of a repeated field counts.
        fields->emplace(name, std::string(it.value().data(), static_cast<size_t>(it.value().length())));
    }
    return true;
}
