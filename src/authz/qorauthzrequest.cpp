// qorauthzrequest.cpp: reading the raw request.
#include "authz/qorauthzrequest.h"
#include <strings.h>
#include <cctype>
#include <memory>
#include "core/sundry/qorbase64.h"

namespace {

// The line from pos to its end ("\n" or "\r\n"); pos moves past it. False
// at the end of the text.
bool nextLine(const std::string& text, size_t* pos, std::string* line)
{
    if (*pos >= text.size())
        return false;
    size_t end = text.find('\n', *pos);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos)
        end = text.size();
    if (end > *pos && text[end - 1] == '\r')
        --end;
    line->assign(text, *pos, end - *pos);
    *pos = next;
    return true;
}

std::string trimmed(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

} // namespace

bool QORAuthzHTTPRequest::parse(const unsigned char* message, int length)
{
    m_copy.assign(reinterpret_cast<const char*>(message), length > 0 ? static_cast<size_t>(length) : 0);
    m_method.clear();
    m_target.clear();
    m_headers.clear();
    m_body.clear();
    size_t pos = 0;
    std::string line;
    if (!nextLine(m_copy, &pos, &line))
        return false;
    size_t sp = line.find(' ');
    if (sp == 0 || sp == std::string::npos)
        return false;
    m_method = line.substr(0, sp);
    size_t sp2 = line.find(' ', sp + 1);
    m_target = line.substr(sp + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp - 1);
    size_t query = m_target.find('?');
    if (query != std::string::npos)
        m_target.resize(query);
    while (nextLine(m_copy, &pos, &line) && !line.empty()) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            continue;
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        m_headers.emplace_back(name, trimmed(line.substr(colon + 1)));
    }
    if (pos < m_copy.size())
        m_body = m_copy.substr(pos);
    return true;
}

const std::string* QORAuthzHTTPRequest::header(const char* name) const
{
    for (auto& h : m_headers)
        if (h.first == name)
            return &h.second;
    return nullptr;
}

bool qor_authz_basic_credentials(const std::string& value, std::string* user,
                                 std::string* password)
{
    if (value.size() < 6 || strncasecmp(value.c_str(), "basic ", 6) != 0)
        return false;
    std::string b64 = trimmed(value.substr(6));
    int max = qor_base64_decoded_max_length(static_cast<int>(b64.size()));
    if (b64.empty() || max <= 0)
        return false;
    std::unique_ptr<unsigned char[]> out(new unsigned char[static_cast<size_t>(max)]);
    int n = 0;
    if (qor_base64_decode(b64.data(), static_cast<int>(b64.size()), out.get(), max, &n,
                          qor_base64_standard) != qor_s_ok)
        return false;
    std::string decoded(reinterpret_cast<char*>(out.get()), static_cast<size_t>(n));
    size_t colon = decoded.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

std::string QORAuthzHTTPRequest::cookies() const
{
    std::string all;
    for (auto& h : m_headers)
        if (h.first == "cookie" && !h.second.empty())
            all += (all.empty() ? "" : "; ") + h.second;
    return all;
}

namespace {

// Calls op(name, pair) for each "name=value" pair of a Cookie text until
// it returns false.
template <class Op>
void eachCookie(const std::string& cookies, Op op)
{
    size_t pos = 0;
    while (pos <= cookies.size()) {
        size_t end = cookies.find(';', pos);
        if (end == std::string::npos)
            end = cookies.size();
        std::string pair = trimmed(cookies.substr(pos, end - pos));
        size_t eq = pair.find('=');
        if (!pair.empty() && !op(trimmed(pair.substr(0, eq)), pair))
            return;
        pos = end + 1;
    }
}

} // namespace

bool qor_authz_cookie(const std::string& cookies, const std::string& name, std::string* value)
{
    bool found = false;
    eachCookie(cookies, [&](const std::string& n, const std::string& pair) {
        if (n != name || pair.find('=') == std::string::npos)
            return true;
        *value = trimmed(pair.substr(pair.find('=') + 1));
        found = true;
        return false;
    });
    return found;
}

std::string qor_authz_without_cookie(const std::string& cookies, const std::string& name)
{
    std::string out;
    eachCookie(cookies, [&](const std::string& n, const std::string& pair) {
        if (n != name)
            out += (out.empty() ? "" : "; ") + pair;
        return true;
    });
    return out;
}
