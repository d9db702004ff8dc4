// qorapachecheck.cpp: the checks on texts from the authorization server.
#include "qorapachecheck.h"
#include <cstring>

#include "core/sundry/qorhexdigit.h"

namespace qor_apache {

namespace {

bool isTChar(unsigned char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A segment that is "." or ".." once "%2e"/"%2E" are read as ".".
bool isDotSegment(const char* s, int length)
{
    int dots = 0;
    for (int i = 0; i < length;) {
        if (s[i] == '.') {
            ++i;
        } else if (s[i] == '%' && i + 2 < length && s[i + 1] == '2'
                   && (s[i + 2] == 'e' || s[i + 2] == 'E')) {
            i += 3;
        } else {
            return false;
        }
        if (++dots > 2)
            return false;
    }
    return dots > 0;
}

} // namespace

bool isSafeText(const char* text, int length)
{
    for (int i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    }
    return true;
}

bool isToken(const char* text, int length)
{
    if (length <= 0 || length > kMaxTokenLength)
        return false;
    for (int i = 0; i < length; ++i)
        if (!isTChar(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

bool isVersion(const char* text, int length)
{
    return length == 8 && std::memcmp(text, "HTTP/", 5) == 0 && text[5] >= '0'
           && text[5] <= '9' && text[6] == '.' && text[7] >= '0' && text[7] <= '9';
}

bool isSafePath(const char* text, int length)
{
    if (length <= 0 || text[0] != '/' || !isSafeText(text, length))
        return false;
    int start = 1;
    for (int i = 1; i <= length; ++i) {
        if (i < length && (text[i] == '?' || text[i] == '#'))
            return false;
        // An encoded slash or backslash could make a segment Apache or a
        // file system reads as another separator.
        int hi = i + 2 < length ? qor_hex_value((unsigned char)text[i + 1]) : -1;
        int lo = hi >= 0 ? qor_hex_value((unsigned char)text[i + 2]) : -1;
        if (hi >= 0 && lo >= 0 && text[i] == '%') {
            int v = hi * 16 + lo;
            if (v == '/' || v == '\\' || v == 0)
                return false;
        }
        if (i == length || text[i] == '/' || text[i] == '\\') {
            if (isDotSegment(text + start, i - start))
                return false;
            start = i + 1;
        }
    }
    return true;
}

bool isSafeQuery(const char* text, int length)
{
    return isSafeText(text, length) && std::memchr(text, '#', static_cast<size_t>(length)) == nullptr;
}

bool isStatusCode(int code)
{
    return code >= 100 && code <= 599;
}

bool isInsideDirectory(const char* realPath, const char* directory)
{
    size_t n = std::strlen(directory);
    while (n > 1 && directory[n - 1] == '/')
        --n;
    if (n == 0 || directory[0] != '/' || std::strncmp(realPath, directory, n) != 0)
        return false;
    return realPath[n] == '/' && realPath[n + 1] != '\0';
}

} // namespace qor_apache
