#include "qornginxcheck.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/sundry/qorhexdigit.h"

namespace {

const size_t kMaxHeaderName = 256;
const size_t kMaxHeaderValue = 16384;
const size_t kMaxMethod = 32;
const size_t kMaxQuery = 8192;
const size_t kMaxURI = 8192;

bool isTokenChar(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(const char* s, size_t n, size_t max)
{
    if (n == 0 || n > max)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!isTokenChar(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// Visible ASCII or any byte above 127: no controls, no space.
bool isVisible(unsigned char c)
{
    return c > 0x20 && c != 0x7f;
}

} // namespace

bool qor_ngx_valid_header_name(const char* s, size_t n)
{
    return isToken(s, n, kMaxHeaderName);
}

bool qor_ngx_valid_header_value(const char* s, size_t n)
{
    if (n > kMaxHeaderValue)
        return false;
    for (size_t i = 0; i < n; i++)
        if (s[i] == '\r' || s[i] == '\n' || s[i] == '\0')
            return false;
    return true;
}

bool qor_ngx_valid_method(const char* s, size_t n)
{
    return isToken(s, n, kMaxMethod);
}

bool qor_ngx_parse_version(const char* s, size_t n, unsigned* version)
{
    if (n != 8 || memcmp(s, "HTTP/", 5) != 0 || s[6] != '.')
        return false;
    if (s[5] < '0' || s[5] > '9' || s[7] < '0' || s[7] > '9')
        return false;
    *version = static_cast<unsigned>(s[5] - '0') * 1000 + static_cast<unsigned>(s[7] - '0');
    return true;
}

bool qor_ngx_valid_query(const char* s, size_t n)
{
    if (n > kMaxQuery)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!isVisible(static_cast<unsigned char>(s[i])) || s[i] == '#')
            return false;
    return true;
}

bool qor_ngx_normalize_uri(const char* s, size_t n, std::string* path)
{
    if (n == 0 || n > kMaxURI || s[0] != '/')
        return false;
    std::string decoded;
    decoded.reserve(n);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!isVisible(c) || c == '?' || c == '#')
            return false;
        if (c == '%') {
            int hi = i + 2 < n ? qor_hex_value((unsigned char)s[i + 1]) : -1;
            int lo = hi >= 0 ? qor_hex_value((unsigned char)s[i + 2]) : -1;
            if (lo < 0)
                return false;
            c = static_cast<unsigned char>(hi * 16 + lo);
            if (c == '\0' || c == '\r' || c == '\n')
                return false;
            i += 2;
        }
        decoded += static_cast<char>(c);
    }

    // Segment by segment: "." goes, ".." takes the previous one with it.
    std::string out;
    size_t pos = 1;
    for (;;) {
        size_t end = decoded.find('/', pos);
        bool last = end == std::string::npos;
        if (last)
            end = decoded.size();
        std::string segment = decoded.substr(pos, end - pos);
        if (segment == "..") {
            if (out.empty())
                return false;
            out.erase(out.rfind('/'));
        } else if (segment != ".") {
            out += '/';
            out += segment;
        }
        if (last) {
            if ((segment == "." || segment == "..") || out.empty())
                out += '/';
            break;
        }
        pos = end + 1;
    }
    *path = out;
    return true;
}

bool qor_ngx_valid_built_status(int code)
{
    return code >= 200 && code <= 599;
}

bool qor_ngx_valid_default_status(int code)
{
    return code >= 300 && code <= 599;
}

bool qor_ngx_resolve_body_file(const std::string& root, const std::string& file,
                               std::string* resolved)
{
    if (root.empty() || file.empty())
        return false;
    char rootReal[PATH_MAX];
    char fileReal[PATH_MAX];
    if (realpath(root.c_str(), rootReal) == nullptr
        || realpath(file.c_str(), fileReal) == nullptr)
        return false;
    size_t len = strlen(rootReal);
    // "/srv/files" must not admit "/srv/files-private/x".
    bool inside = strncmp(fileReal, rootReal, len) == 0
                  && (fileReal[len] == '/' || (len == 1 && rootReal[0] == '/'));
    if (!inside)
        return false;
    *resolved = fileReal;
    return true;
}

std::string qor_ngx_escape_log_text(const char* s, size_t n)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
