// qordecisionmark.cpp: reading and writing the decision mark's value.
#include "msg/core/qordecisionmark.h"
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <strings.h>

const char QORDecisionMark::kHeaderName[] = "X-Dxqor-Decision-Cache";
const char QORDecisionMark::kConfigFlag[] = "decision-cache-lifetime";

namespace {

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Decimal digits at p (at most maxDigits, no sign), up to end; the value
// must stay below limit.
const char* number(const char* p, const char* end, int maxDigits, uint64_t limit, uint64_t* out)
{
    uint64_t n = 0;
    int digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (++digits > maxDigits)
            return nullptr;
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > limit)
            return nullptr;
    }
    if (digits == 0)
        return nullptr;
    *out = n;
    return p;
}

} // namespace

bool QORDecisionMark::isMarkHeader(const QORStringRef& name)
{
    size_t n = sizeof kHeaderName - 1;
    return name.length() == static_cast<int>(n) && strncasecmp(name.data(), kHeaderName, n) == 0;
}

bool QORDecisionMark::parse(const QORStringRef& value)
{
    const char* p = value.data();
    const char* end = p + value.length();
    uint64_t life = 0, gen = 0;
    p = number(p, end, 10, UINT32_MAX, &life);
    if (p == nullptr || p == end || *p++ != ' ')
        return false;
    const char* id = p;
    while (p < end && isHex(*p))
        ++p;
    int idLength = static_cast<int>(p - id);
    if (idLength == 0 || idLength > kMaxServerLength || p == end || *p++ != ':')
        return false;
    p = number(p, end, 19, UINT64_MAX, &gen);
    if (p != end)
        return false;
    lifetime = static_cast<uint32_t>(life);
    memcpy(server, id, static_cast<size_t>(idLength));
    server[idLength] = 0;
    generation = gen;
    return true;
}

int QORDecisionMark::format(char (&text)[kMaxText]) const
{
    int n = snprintf(text, sizeof text, "%" PRIu32 " %s:%" PRIu64, lifetime, server, generation);
    return n < 0 ? 0 : (n < kMaxText ? n : kMaxText - 1);
}

bool QORDecisionMark::sameServer(const QORDecisionMark& other) const
{
    return strcmp(server, other.server) == 0;
}
