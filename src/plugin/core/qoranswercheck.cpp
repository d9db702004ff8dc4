// qoranswercheck.cpp: the checks on texts from the authorization server.
#include "plugin/core/qoranswercheck.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/sundry/qorhexdigit.h"

namespace {

bool isTokenChar(unsigned char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
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

// Visible ASCII or any byte above 127: no control, no space, no DEL.
bool isVisible(unsigned char c)
{
    return c > 0x20 && c != 0x7f;
}

// A decoded segment of "." or "..".
bool isDotSegment(const char* s, size_t n)
{
    return (n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.');
}

} // namespace

bool qor_answer_header_name(const char* s, size_t n)
{
    return isToken(s, n, kQORAnswerMaxName);
}

bool qor_answer_header_value(const QORAnswerLimits& limits, const char* s, size_t n)
{
    if (n > limits.maxHeaderValue || n > kQORAnswerMaxHeaderValue)
        return false;
    for (size_t i = 0; i < n; i++)
        if (s[i] == '\r' || s[i] == '\n' || s[i] == '\0')
            return false;
    return true;
}

bool qor_answer_method(const char* s, size_t n)
{
    return isToken(s, n, kQORAnswerMaxMethod);
}

bool qor_answer_version(const char* s, size_t n, int* major, int* minor)
{
    if (n != 8 || std::memcmp(s, "HTTP/", 5) != 0 || s[6] != '.' || s[5] < '0' || s[5] > '9'
        || s[7] < '0' || s[7] > '9')
        return false;
    *major = s[5] - '0';
    *minor = s[7] - '0';
    return true;
}

bool qor_answer_query(const QORAnswerLimits& limits, const char* s, size_t n)
{
    if (n > limits.maxURI || n > kQORAnswerMaxURI)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!isVisible(static_cast<unsigned char>(s[i])) || s[i] == '#')
            return false;
    return true;
}

bool qor_answer_path(const QORAnswerLimits& limits, const char* s, size_t n, char* decoded,
                     size_t* decodedLength)
{
    if (n == 0 || n > limits.maxURI || n > kQORAnswerMaxURI || s[0] != '/')
        return false;
    size_t out = 0;
    size_t segment = 0;  // where the current decoded segment starts
    for (size_t i = 0; i <= n; i++) {
        if (i == n || s[i] == '/' || s[i] == '\\') {
            // A backslash is a separator to some file systems and servers.
            if (isDotSegment(decoded + segment, out - segment))
                return false;
            if (i == n)
                break;
            decoded[out++] = s[i];
            segment = out;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!isVisible(c) || c == '?' || c == '#')
            return false;
        if (c == '%') {
            int hi = i + 2 < n ? qor_hex_value(static_cast<unsigned char>(s[i + 1])) : -1;
            int lo = hi >= 0 ? qor_hex_value(static_cast<unsigned char>(s[i + 2])) : -1;
            if (lo < 0)
                return false;
            c = static_cast<unsigned char>(hi * 16 + lo);
            // An escaped separator would make another segment once decoded.
            if (c < 0x20 || c == 0x7f || c == '/' || c == '\\')
                return false;
            i += 2;
        }
        decoded[out++] = static_cast<char>(c);
    }
    *decodedLength = out;
    return true;
}

bool qor_answer_built_status(int code)
{
    return code >= 200 && code <= 599;
}

bool qor_answer_default_status(int code)
{
    return code >= 300 && code <= 599;
}

bool qor_answer_body_file(const char* directory, const char* file, char* resolved)
{
    if (directory == nullptr || file == nullptr || directory[0] == '\0')
        return false;
    char root[PATH_MAX];
    if (realpath(directory, root) == nullptr || realpath(file, resolved) == nullptr)
        return false;
    size_t len = std::strlen(root);
    // "/srv/files" must not admit "/srv/files-private/x".
    if (len == 1)
        return resolved[1] != '\0';
    return std::strncmp(resolved, root, len) == 0 && resolved[len] == '/'
           && resolved[len + 1] != '\0';
}
