// cookie_fuzz.cpp: request and response cookie sets over arbitrary bytes.
// The first byte picks the field to change, the rest is the header value.
// Each set is rendered unchanged, one field of its first cookie is changed
// and it is rendered again; every rendering must parse back to the same
// cookies, lengths must match what is written, and nothing may stay
// allocated.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "core/http/qorcookie.h"
#include "core/http/qorhttpparser.h"
#include "core/memory/qorcountingallocator.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "cookie_fuzz: %s\n", what);
        abort();
    }
}

template <class Set>
bool render(Set* set, std::string* out)
{
    int len = -1;
    if (set->getLen(&len) != qor_s_ok)
        return false;
    std::string buf(static_cast<size_t>(len) + 1, '\x7f');
    check(set->getHeaderValue(&buf[0]) == qor_s_ok, "getHeaderValue failed after getLen");
    check(buf[static_cast<size_t>(len)] == 0, "rendering longer or shorter than getLen");
    buf.resize(static_cast<size_t>(len));
    *out = buf;
    return true;
}

// The cookies' own texts, sorted: merging compares an offered cookie with
// the first one of its name only, so a rendering may parse back into
// another order of the same cookies.
template <class Set>
std::vector<std::string> cookieTexts(Set* set)
{
    std::vector<std::string> texts;
    for (auto it = set->begin(); it != set->end(); ++it) {
        QORNCPString t;
        check(it->get(&t) == qor_s_ok, "a cookie in a set does not render");
        texts.push_back(std::string(t.data(), static_cast<size_t>(t.length())));
    }
    std::sort(texts.begin(), texts.end());
    return texts;
}

// A rendering parses back into the same cookies.
template <class Set>
void checkStable(Set* set, const std::string& text, QORAllocator* a)
{
    Set again(QORStringRef(text.data(), static_cast<int>(text.size())), a);
    std::string back;
    check(render(&again, &back), "a rendering does not parse back");
    check(back.size() == text.size(), "a rendering parses back to another length");
    check(cookieTexts(&again) == cookieTexts(set), "a rendering parses back to other cookies");
}

QORStatus change(QORCookie* c, unsigned which)
{
    static const QORStringRef kValue("changed");
    static const QORStringRef kPath("/fuzz");
    static const QORStringRef kDomain("example.com");
    switch (which % 4) {
    case 0:
        return c->setValue(kValue);
    case 1:
        return c->setPath(kPath);
    case 2:
        return c->setDomain(kDomain);
    default:
        return c->takeOwnership();
    }
}

// Control bytes end values and names, and the set steps over them; with
// them gone from a rendering, an unquoted value that began with a quote can
// read as a quoted string spanning what follows. Header values carry no
// control bytes, so stability is asked of texts without them.
bool hasControlBytes(const std::string& text)
{
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return true;
    return false;
}

// A value that opens a double quote it does not close is kept as it came;
// written back before text holding a quote, it reads as a quoted string
// running over what follows. A set holding one need not read back.
bool unbalancedQuote(const QORStringRefT<char>& value)
{
    if (value.length() == 0 || value.data()[0] != '"')
        return false;
    QORBufferCursor c(value.data(), value.length());
    QORStringRef quoted;
    return QORHTTPParser::parseQuotedString(&c, &quoted) != qor_s_ok ||
           quoted.length() != value.length();
}

bool unbalancedField(QORCookie* c, QORStatus (QORCookie::*get)(QORStringRefT<char>*))
{
    QORStringRef v;
    return (c->*get)(&v) == qor_s_ok && unbalancedQuote(v);
}

bool unbalancedAttribute(QORReqCookie*)
{
    return false;
}

bool unbalancedAttribute(QORRespCookie* c)
{
    QORStringRef v;
    return (c->getComment(&v) == qor_s_ok && unbalancedQuote(v)) ||
           (c->getMaxAge(&v) == qor_s_ok && unbalancedQuote(v)) ||
           (c->getExpires(&v) == qor_s_ok && unbalancedQuote(v));
}

// A response cookie that is a bare name at the end of a header is refused
// (the header ended unexpectedly), so a set holding one need not read back.
template <class Set>
bool readsBack(Set* set)
{
    bool response = std::is_same<Set, QORRespCookieSet>::value;
    for (auto it = set->begin(); it != set->end(); ++it) {
        QORStringRef v;
        if (response && it->getValue(&v) != qor_s_ok)
            return false;
        if (unbalancedField(*it, &QORCookie::getValue) ||
            unbalancedField(*it, &QORCookie::getPath) ||
            unbalancedField(*it, &QORCookie::getDomain) || unbalancedAttribute(*it))
            return false;
    }
    return true;
}

template <class Set>
void exercise(const std::string& text, unsigned which, QORAllocator* a)
{
    Set set(QORStringRef(text.data(), static_cast<int>(text.size())), a);
    std::string first;
    if (!render(&set, &first))
        return;
    bool stable = !hasControlBytes(text) && readsBack(&set);
    if (stable)
        checkStable(&set, first, a);
    auto it = set.begin();
    if (it == set.end())
        return;
    if (change(*it, which) != qor_s_ok)
        return;
    std::string second;
    check(render(&set, &second), "a changed set does not render");
    // A new path bypasses the set's merge rules: another cookie of the name
    // may now have an unrelated path, which reading back refuses.
    if (stable && which % 4 != 1)
        checkStable(&set, second, a);
    QORStringRef name;
    check(it->getName(&name) == qor_s_ok, "a cookie in a set lost its name");
    // The name may view text the removal frees.
    std::string copy(name.data(), static_cast<size_t>(name.length()));
    check(set.removeCookie(QORStringRef(copy.data(), static_cast<int>(copy.size()))) == qor_s_ok,
          "a cookie's own name does not remove it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16)
        return 0;
    unsigned which = data[0];
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    QORCountingAllocator a;
    exercise<QORReqCookieSet>(text, which, &a);
    exercise<QORRespCookieSet>(text, which >> 2, &a);

    {
        QORRespCookie single(QORStringRef(text.data(), static_cast<int>(text.size())), &a);
        QORStringRef v;
        int len;
        if (single.getName(&v) == qor_s_ok && single.takeOwnership() == qor_s_ok &&
            single.getLen(&len) == qor_s_ok)
            check(len <= static_cast<int>(text.size()), "unchanged cookie longer than its text");
    }
    check(a.live() == 0, "allocator blocks left");
    return 0;
}
