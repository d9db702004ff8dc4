// qorcookie.cpp: cookie parsing over the HTTP parser's scanners, rendering
// from fields, and the merge rules of the cookie sets.
#include "core/http/qorcookie.h"

#include <climits>
#include <cstddef>
#include <new>

#include "core/http/qorhttpparser.h"

namespace {

// A view whose length and terminator are settled before it is shared.
QORStringRef cookieConstant(const char* text)
{
    QORStringRef r(text);
    r.length();
    return r;
}

const QORStringRef kRootPath = cookieConstant("/");

unsigned char asciiLower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

// Attribute names compare case-insensitively over their exact length.
bool sameAttribute(const QORStringRefT<char>& token, const QORStringRef& name)
{
    int n = name.length();
    if (token.length() != n)
        return false;
    const unsigned char* a = reinterpret_cast<const unsigned char*>(token.data());
    const unsigned char* b = reinterpret_cast<const unsigned char*>(name.data());
    for (int i = 0; i < n; i++)
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    return true;
}

// Cookie names and paths compare byte for byte.
bool sameBytes(const QORStringRefT<char>& a, const QORStringRefT<char>& b)
{
    int n = a.length();
    return n == b.length() && (n == 0 || memcmp(a.data(), b.data(), static_cast<size_t>(n)) == 0);
}

bool properPrefix(const QORStringRefT<char>& a, const QORStringRefT<char>& b)
{
    int n = a.length();
    return n < b.length() && (n == 0 || memcmp(a.data(), b.data(), static_cast<size_t>(n)) == 0);
}

// One or more decimal digits that fit an int; trailing blanks, which an
// unquoted cookie value keeps, are ignored.
bool parseDigits(const QORStringRefT<char>& text, int* out)
{
    const char* p = text.data();
    int n = text.length();
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t'))
        n--;
    if (n == 0)
        return false;
    long long v = 0;
    for (int i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        v = v * 10 + (p[i] - '0');
        if (v > INT_MAX)
            return false;
    }
    *out = static_cast<int>(v);
    return true;
}

int decimalLength(unsigned v)
{
    int n = 1;
    while (v >= 10) {
        v /= 10;
        n++;
    }
    return n;
}

char* putDecimal(char* w, unsigned v)
{
    int n = decimalLength(v);
    for (int i = n - 1; i >= 0; i--) {
        w[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return w + n;
}

bool atTerminator(const QORBufferCursor& c)
{
    QORBufferCursor probe = c;
    return QORHTTPParser::wasteTerminator(&probe);
}

// After a name: optional white space, then "=" and a value when "=" comes.
// *end moves past the "=" and past the value. qor_s_not_available when
// there is no "=" or no value after it (*sawEquals tells which).
QORStatus readValue(QORBufferCursor& c, bool* sawEquals, QORStringRefT<char>* value,
                    const char** end)
{
    QORHTTPParser::wasteWhiteSpace(&c);
    c.commit();
    *sawEquals = c.peek() == '=';
    if (!*sawEquals)
        return qor_s_not_available;
    c.advance();
    *end = c.current();
    QORHTTPParser::wasteWhiteSpace(&c);
    QORStatus st = QORHTTPParser::parseCookieValue(&c, value);
    if (st == qor_s_ok)
        *end = c.current();
    return st;
}

// The path that merging and removal compare: an absent path is "/", and so
// is an empty one, which a request cookie is written without.
QORStatus pathOf(QORCookie* cookie, QORStringRefT<char>* out)
{
    QORStatus st = cookie->getPath(out);
    if (st == qor_s_not_available || (st == qor_s_ok && out->isEmpty())) {
        *out = kRootPath;
        return qor_s_ok;
    }
    return st;
}

// Owned text lives in blocks chained through their first word.
struct OwnedBlock {
    OwnedBlock* next;
};

void freeBlocks(void* chain)
{
    OwnedBlock* b = static_cast<OwnedBlock*>(chain);
    while (b != nullptr) {
        OwnedBlock* next = b->next;
        qor_allocated_free(b);
        b = next;
    }
}

} // namespace

const QORStringRef QORReqCookie::Path = cookieConstant("$Path");
const QORStringRef QORReqCookie::Domain = cookieConstant("$Domain");
const QORStringRef QORReqCookie::Version = cookieConstant("$Version");

const QORStringRef QORRespCookie::Expires = cookieConstant("Expires");
const QORStringRef QORRespCookie::MaxAge = cookieConstant("Max-Age");
const QORStringRef QORRespCookie::HttpOnly = cookieConstant("HttpOnly");
const QORStringRef QORRespCookie::Secure = cookieConstant("Secure");
const QORStringRef QORRespCookie::Comment = cookieConstant("Comment");
const QORStringRef QORRespCookie::Domain = cookieConstant("Domain");
const QORStringRef QORRespCookie::Path = cookieConstant("Path");
const QORStringRef QORRespCookie::Version = cookieConstant("Version");

const QORStringRef QORReqCookieSet::CookieHeader = cookieConstant("Cookie");
const QORStringRef QORReqCookieSet::Version = cookieConstant("$Version");
const QORStringRef QORRespCookieSet::SetCookieHeader = cookieConstant("Set-Cookie");

QORCookie::QORCookie(QORAllocator* a)
    : m_flags(0)
    , m_outLength(0)
    , m_allocator(a)
{
}

QORCookie::QORCookie(const QORStringRefT<char>& text, QORAllocator* a)
    : QORCookie(a)
{
    assign(&m_source, text);
    m_flags = kHasSource;
}

QORCookie::~QORCookie()
{
    freeBlocks(m_owned);
}

void QORCookie::set(const QORStringRefT<char>& text)
{
    assign(&m_source, text);
    m_flags = kHasSource;
    m_outLength = 0;
}

void QORCookie::reset()
{
    set(QORStringRef());
    m_flags = 0;
    freeBlocks(m_owned);
    m_owned = nullptr;
}

QORStatus QORCookie::get(QORNCPString* out)
{
    int len;
    QORStatus st = getLen(&len);
    if (st != qor_s_ok)
        return st;
    if (!out->reserve(len))
        return qor_s_no_memory;
    st = get(out->buffer());
    if (st != qor_s_ok)
        return st;
    out->setLength(len);
    return qor_s_ok;
}

QORStatus QORCookie::takeOwnership()
{
    return ownFields(nullptr, 0);
}

QORStatus QORCookie::getName(QORStringRefT<char>* out)
{
    return getField(kName, m_name, out);
}

QORStatus QORCookie::getValue(QORStringRefT<char>* out)
{
    return getField(kValue, m_value, out);
}

QORStatus QORCookie::getPath(QORStringRefT<char>* out)
{
    return getField(kPath, m_path, out);
}

QORStatus QORCookie::getDomain(QORStringRefT<char>* out)
{
    return getField(kDomain, m_domain, out);
}

QORStatus QORCookie::setName(const QORStringRefT<char>& name)
{
    return setField(kName, &m_name, name);
}

QORStatus QORCookie::setValue(const QORStringRefT<char>& value)
{
    return setField(kValue, &m_value, value);
}

QORStatus QORCookie::setPath(const QORStringRefT<char>& path)
{
    return setField(kPath, &m_path, path);
}

QORStatus QORCookie::setDomain(const QORStringRefT<char>& domain)
{
    return setField(kDomain, &m_domain, domain);
}

QORStatus QORCookie::parseFirst(bool held)
{
    if (!(m_flags & kHasSource) || held)
        return qor_s_ok;
    QORBufferCursor c(m_source.data(), m_source.length());
    return parseString(c);
}

QORStatus QORCookie::getField(uint8_t* flags, uint8_t flag,
                              const QORStringRefT<char>& field,
                              QORStringRefT<char>* out)
{
    QORStatus st = parseFirst(*flags & flag);
    if (st != qor_s_ok)
        return st;
    if (!(*flags & flag))
        return qor_s_not_available;
    assign(out, field);
    return qor_s_ok;
}

QORStatus QORCookie::setField(uint8_t* flags, uint8_t flag,
                              QORStringRefT<char>* field,
                              const QORStringRefT<char>& value)
{
    QORStatus st = parseFirst(*flags & flag);
    if (st != qor_s_ok)
        return st;
    assign(field, value);
    *flags |= flag;
    changed();
    return qor_s_ok;
}

QORStatus QORCookie::clearField(uint8_t flag)
{
    QORStatus st = parseFirst(false);
    if (st != qor_s_ok)
        return st;
    m_flags &= static_cast<uint8_t>(~flag);
    changed();
    return qor_s_ok;
}

void QORCookie::getSource(char* out) const
{
    memcpy(out, m_source.data(), static_cast<size_t>(m_outLength));
    out[m_outLength] = 0;
}

void QORCookie::parsed(const char* start, const char* end)
{
    if ((m_flags & kHasSource) && start == m_source.data()) {
        m_outLength = static_cast<int>(end - start);
        m_flags |= kLengthKnown;
    }
}

void QORCookie::copyFrom(const QORCookie& other)
{
    m_flags = other.m_flags;
    assign(&m_source, other.m_source);
    assign(&m_name, other.m_name);
    assign(&m_value, other.m_value);
    assign(&m_path, other.m_path);
    assign(&m_domain, other.m_domain);
    m_outLength = other.m_outLength;
}

void QORCookie::adoptText(QORCookie* other)
{
    if (other->m_owned == nullptr)
        return;
    OwnedBlock* tail = static_cast<OwnedBlock*>(other->m_owned);
    while (tail->next != nullptr)
        tail = tail->next;
    tail->next = static_cast<OwnedBlock*>(m_owned);
    m_owned = other->m_owned;
    other->m_owned = nullptr;
}

QORStatus QORCookie::ownFields(QORStringRefT<char>* const* extra, int extraCount)
{
    QORStringRefT<char>* fields[8];
    int n = 0;
    const uint8_t flagOf[] = {kName, kValue, kPath, kDomain};
    QORStringRefT<char>* baseFields[] = {&m_name, &m_value, &m_path, &m_domain};
    for (int i = 0; i < 4; i++)
        if (m_flags & flagOf[i])
            fields[n++] = baseFields[i];
    for (int i = 0; i < extraCount && n < 8; i++)
        fields[n++] = extra[i];

    // Fields inside the source are re-pointed into its copy; others get
    // their own room after it.
    const char* src = m_source.data();
    int srcLength = m_source.length();
    auto inSource = [&](const QORStringRefT<char>* f) {
        return f->data() >= src && f->data() + f->length() <= src + srcLength;
    };
    long long total = static_cast<long long>(sizeof(OwnedBlock)) + srcLength;
    for (int i = 0; i < n; i++)
        if (!inSource(fields[i]))
            total += fields[i]->length();
    if (total > INT_MAX)
        return qor_s_no_memory;
    void* block = qor_allocated_alloc(m_allocator, static_cast<size_t>(total));
    if (block == nullptr)
        return qor_s_no_memory;
    static_cast<OwnedBlock*>(block)->next = nullptr;
    char* copy = static_cast<char*>(block) + sizeof(OwnedBlock);
    memcpy(copy, src, static_cast<size_t>(srcLength));
    char* w = copy + srcLength;
    for (int i = 0; i < n; i++) {
        QORStringRefT<char>* f = fields[i];
        int len = f->length();
        if (inSource(f)) {
            f->set(copy + (f->data() - src), len);
        } else {
            memcpy(w, f->data(), static_cast<size_t>(len));
            f->set(w, len);
            w += len;
        }
    }
    m_source.set(copy, srcLength);
    freeBlocks(m_owned);
    m_owned = block;
    return qor_s_ok;
}

void QORCookie::assign(QORStringRefT<char>* field, const QORStringRefT<char>& value)
{
    *field = value;
}

char* QORCookie::put(char* w, const char* s, int n)
{
    memcpy(w, s, static_cast<size_t>(n));
    return w + n;
}

QORReqCookie::QORReqCookie(QORAllocator* a)
    : QORCookie(a)
{
}

QORReqCookie::QORReqCookie(const QORStringRefT<char>& text, QORAllocator* a)
    : QORCookie(text, a)
{
}

QORReqCookie::QORReqCookie(const QORStringRefT<char>& name,
                           const QORStringRefT<char>& value,
                           const QORStringRefT<char>* path,
                           const QORStringRefT<char>* domain, QORAllocator* a)
    : QORCookie(a)
{
    assign(&m_name, name);
    assign(&m_value, value);
    m_flags = kName | kValue;
    if (path != nullptr) {
        assign(&m_path, *path);
        m_flags |= kPath;
    }
    if (domain != nullptr) {
        assign(&m_domain, *domain);
        m_flags |= kDomain;
    }
}

QORStatus QORReqCookie::parseString(QORBufferCursor& c)
{
    QORBufferCursor start = c;
    const char* begin = c.current();
    QORStringRef token;
    QORStatus st = QORHTTPParser::parseToken(&c, &token);
    if (st != qor_s_ok)
        return st;
    assign(&m_name, token);
    m_flags |= kName;
    const char* end = c.current();

    bool sawEquals;
    QORNCPStringRef value;
    st = readValue(c, &sawEquals, &value, &end);
    if (st == qor_s_ok) {
        assign(&m_value, value);
        m_flags |= kValue;
    } else if (st != qor_s_not_available) {
        c = start;
        return st;
    }

    for (;;) {
        QORHTTPParser::wasteWhiteSpace(&c);
        c.commit();
        int sep = c.peek();
        if (sep != ';' && sep != ',')
            break;
        c.advance();
        QORHTTPParser::wasteWhiteSpace(&c);
        c.commit();
        // Anything but "$Path" or "$Domain" here starts the next cookie.
        QORBufferCursor next = c;
        QORStringRef attribute;
        if (QORHTTPParser::parseToken(&c, &attribute) != qor_s_ok)
            break;
        const char* attributeEnd = c.current();
        st = readValue(c, &sawEquals, &value, &attributeEnd);
        if (st != qor_s_ok && st != qor_s_not_available) {
            c = start;
            return st;
        }
        QORNCPStringRef* field;
        uint8_t flag;
        if (sameAttribute(attribute, Domain)) {
            field = &m_domain;
            flag = kDomain;
        } else if (sameAttribute(attribute, Path)) {
            field = &m_path;
            flag = kPath;
        } else {
            c = next;
            break;
        }
        assign(field, st == qor_s_ok ? static_cast<const QORStringRefT<char>&>(value)
                                     : QORStringRef());
        m_flags |= flag;
        end = attributeEnd;
    }
    parsed(begin, end);
    return qor_s_ok;
}

QORStatus QORReqCookie::getLen(int* len)
{
    QORStatus st = parseFirst(m_flags & kLengthKnown);
    if (st != qor_s_ok)
        return st;
    if (!(m_flags & kLengthKnown)) {
        if (!(m_flags & kName))
            return qor_s_not_available;
        long long n = m_name.length() + 1LL + ((m_flags & kValue) ? m_value.length() : 0);
        if ((m_flags & kPath) && !m_path.isEmpty())
            n += Path.length() + 3 + m_path.length();
        if ((m_flags & kDomain) && !m_domain.isEmpty())
            n += Domain.length() + 3 + m_domain.length();
        if (n > INT_MAX - 1)
            return qor_s_no_memory;
        m_outLength = static_cast<int>(n);
        m_flags |= kLengthKnown;
    }
    *len = m_outLength;
    return qor_s_ok;
}

QORStatus QORCookie::getStart(char* out, char** w)
{
    *w = nullptr;
    QORStatus st = parseFirst(m_flags & kLengthKnown);
    if (st != qor_s_ok)
        return st;
    if (parsedUnchanged()) {
        getSource(out);
        return qor_s_ok;
    }
    if (!(m_flags & kName))
        return qor_s_not_available;
    char* p = put(out, m_name);
    *p++ = '=';
    if (m_flags & kValue)
        p = put(p, m_value);
    *w = p;
    return qor_s_ok;
}

QORStatus QORReqCookie::get(char* out)
{
    char* w;
    QORStatus st = getStart(out, &w);
    if (st != qor_s_ok || w == nullptr)
        return st;
    const struct {
        uint8_t flag;
        const QORStringRef* name;
        const QORNCPStringRef* value;
    } attributes[] = {{kPath, &Path, &m_path}, {kDomain, &Domain, &m_domain}};
    for (const auto& a : attributes) {
        if (!(m_flags & a.flag) || a.value->isEmpty())
            continue;
        w = put(w, "; ", 2);
        w = put(w, *a.name);
        *w++ = '=';
        w = put(w, *a.value);
    }
    *w = 0;
    return qor_s_ok;
}

QORRespCookie::QORRespCookie(QORAllocator* a)
    : QORCookie(a)
{
}

QORRespCookie::QORRespCookie(const QORStringRefT<char>& text, QORAllocator* a)
    : QORCookie(text, a)
{
}

QORRespCookie::QORRespCookie(const QORStringRefT<char>& name,
                             const QORStringRefT<char>& value,
                             const QORStringRefT<char>* path,
                             const QORStringRefT<char>* domain,
                             const QORStringRefT<char>* comment,
                             const QORStringRefT<char>* maxAge, int secure,
                             bool httpOnly, int version, QORAllocator* a)
    : QORCookie(a)
{
    assign(&m_name, name);
    assign(&m_value, value);
    m_flags = kName | kValue;
    const struct {
        const QORStringRefT<char>* given;
        QORStringRefT<char>* field;
        uint8_t flag;
        bool resp;
    } optional[] = {
        {path, &m_path, kPath, false},
        {domain, &m_domain, kDomain, false},
        {comment, &m_comment, kComment, true},
        {maxAge, &m_maxAge, kMaxAge, true},
    };
    for (const auto& o : optional) {
        if (o.given == nullptr)
            continue;
        assign(o.field, *o.given);
        if (o.resp)
            m_respFlags |= o.flag;
        else
            m_flags |= o.flag;
    }
    if (secure >= 0) {
        m_secure = secure != 0;
        m_respFlags |= kSecure;
    }
    if (version >= 0) {
        m_version = version;
        m_respFlags |= kVersion;
    }
    m_httpOnly = httpOnly;
}

QORRespCookie::QORRespCookie(const QORStringRefT<char>& name,
                             const QORStringRefT<char>& value,
                             const QORStringRefT<char>* path,
                             const QORStringRefT<char>* domain,
                             const QORStringRefT<char>* comment,
                             const QORStringRefT<char>* maxAge, int secure,
                             int version, QORAllocator* a)
    : QORRespCookie(name, value, path, domain, comment, maxAge, secure, false,
                    version, a)
{
}

QORRespCookie::~QORRespCookie() = default;

void QORRespCookie::set(const QORStringRefT<char>& text)
{
    QORCookie::set(text);
    m_respFlags = 0;
    m_version = 0;
    m_secure = false;
    m_httpOnly = false;
}

void QORRespCookie::set(QORStringRefT<char>& text)
{
    set(static_cast<const QORStringRefT<char>&>(text));
}

QORStatus QORRespCookie::takeOwnership()
{
    const struct {
        uint8_t flag;
        QORStringRefT<char>* field;
    } respFields[] = {{kComment, &m_comment}, {kMaxAge, &m_maxAge}, {kExpires, &m_expires}};
    QORStringRefT<char>* extra[3];
    int n = 0;
    for (const auto& f : respFields)
        if (m_respFlags & f.flag)
            extra[n++] = f.field;
    return ownFields(extra, n);
}

void QORRespCookie::copyFrom(const QORRespCookie& other)
{
    QORCookie::copyFrom(other);
    m_respFlags = other.m_respFlags;
    assign(&m_comment, other.m_comment);
    m_version = other.m_version;
    assign(&m_maxAge, other.m_maxAge);
    assign(&m_expires, other.m_expires);
    m_secure = other.m_secure;
    m_httpOnly = other.m_httpOnly;
}

QORStatus QORRespCookie::parseString(QORBufferCursor& c)
{
    if (!(m_flags & kHasSource))
        return qor_s_not_available;
    QORBufferCursor start = c;
    const char* begin = c.current();
    QORStringRef token;
    QORStatus st = QORHTTPParser::parseToken(&c, &token);
    if (st != qor_s_ok)
        return st;
    assign(&m_name, token);
    m_flags |= kName;
    const char* end = c.current();

    QORHTTPParser::wasteWhiteSpace(&c);
    if (c.atEnd()) {
        c = start;
        return qor_s_http_unexpected_end;
    }
    bool sawEquals;
    QORNCPStringRef value;
    st = readValue(c, &sawEquals, &value, &end);
    if (st == qor_s_ok) {
        assign(&m_value, value);
        m_flags |= kValue;
    } else if (st != qor_s_not_available) {
        c = start;
        return st;
    }

    for (;;) {
        QORHTTPParser::wasteWhiteSpace(&c);
        c.commit();
        if (c.peek() != ';')
            break;
        c.advance();
        QORHTTPParser::wasteWhiteSpace(&c);
        QORBufferCursor atName = c;
        QORStringRef attribute;
        st = QORHTTPParser::parseToken(&c, &attribute);
        if (st != qor_s_ok) {
            c = start;
            return st == qor_s_not_available ? qor_s_cookie_bad_param_name : st;
        }
        const char* attributeEnd = c.current();
        st = readValue(c, &sawEquals, &value, &attributeEnd);
        if (st == qor_s_not_available && sawEquals)
            st = qor_s_cookie_bad_param_value;
        if (st != qor_s_ok && st != qor_s_not_available) {
            c = start;
            return st;
        }
        bool known;
        st = parseAttribute(attribute, st == qor_s_ok, value, &known);
        if (st != qor_s_ok) {
            c = start;
            return st;
        }
        if (!known) {
            c = atName;
            c.commit();
            break;
        }
        end = attributeEnd;
    }
    parsed(begin, end);
    return qor_s_ok;
}

QORStatus QORRespCookie::parseAttribute(const QORStringRefT<char>& name, bool hasValue,
                                        const QORStringRefT<char>& value,
                                        bool* known)
{
    enum Kind { kDomainAttr, kPathAttr, kVersionAttr, kMaxAgeAttr, kExpiresAttr,
                kSecureAttr, kCommentAttr, kHttpOnlyAttr };
    // What each attribute says when it comes without and with a value.
    static const struct {
        const QORStringRef* name;
        Kind kind;
        QORStatus withoutValue;
        QORStatus withValue;
    } kAttributes[] = {
        {&Domain, kDomainAttr, qor_s_cookie_no_domain, qor_s_ok},
        {&Path, kPathAttr, qor_s_cookie_no_path, qor_s_ok},
        {&Version, kVersionAttr, qor_s_cookie_no_version, qor_s_ok},
        {&MaxAge, kMaxAgeAttr, qor_s_cookie_no_max_age, qor_s_ok},
        {&Expires, kExpiresAttr, qor_s_cookie_no_expires, qor_s_ok},
        {&Secure, kSecureAttr, qor_s_ok, qor_s_cookie_secure_value},
        {&Comment, kCommentAttr, qor_s_cookie_no_comment, qor_s_ok},
        {&HttpOnly, kHttpOnlyAttr, qor_s_ok, qor_s_cookie_bad_param_value},
    };
    *known = false;
    for (const auto& a : kAttributes) {
        if (!sameAttribute(name, *a.name))
            continue;
        *known = true;
        QORStatus st = hasValue ? a.withValue : a.withoutValue;
        if (st != qor_s_ok)
            return st;
        switch (a.kind) {
        case kDomainAttr:
            assign(&m_domain, value);
            m_flags |= kDomain;
            break;
        case kPathAttr:
            assign(&m_path, value);
            m_flags |= kPath;
            break;
        case kVersionAttr:
            if (!parseDigits(value, &m_version))
                return qor_s_cookie_bad_version;
            m_respFlags |= kVersion;
            break;
        case kMaxAgeAttr:
            assign(&m_maxAge, value);
            m_respFlags |= kMaxAge;
            break;
        case kExpiresAttr:
            assign(&m_expires, value);
            m_respFlags |= kExpires;
            break;
        case kSecureAttr:
            m_secure = true;
            m_respFlags |= kSecure;
            break;
        case kCommentAttr:
            assign(&m_comment, value);
            m_respFlags |= kComment;
            break;
        case kHttpOnlyAttr:
            m_httpOnly = true;
            break;
        }
        return qor_s_ok;
    }
    return qor_s_ok;
}

QORStatus QORRespCookie::getLen(int* len)
{
    QORStatus st = parseFirst(m_flags & kLengthKnown);
    if (st != qor_s_ok)
        return st;
    if (!(m_flags & kLengthKnown)) {
        if (!(m_flags & kName))
            return qor_s_not_available;
        // Each attribute adds "; ", its name and "=" to its value.
        long long n = m_name.length() + 1LL + ((m_flags & kValue) ? m_value.length() : 0);
        if (m_respFlags & kComment)
            n += Comment.length() + 3 + m_comment.length();
        if (m_flags & kDomain)
            n += Domain.length() + 3 + m_domain.length();
        if (m_flags & kPath)
            n += Path.length() + 3 + m_path.length();
        if (m_respFlags & kMaxAge)
            n += MaxAge.length() + 3 + m_maxAge.length();
        if (m_respFlags & kExpires)
            n += Expires.length() + 3 + m_expires.length();
        if (m_respFlags & kVersion)
            n += Version.length() + 3 + decimalLength(static_cast<unsigned>(m_version));
        if ((m_respFlags & kSecure) && m_secure)
            n += Secure.length() + 2;
        if (m_httpOnly)
            n += HttpOnly.length() + 2;
        if (n > INT_MAX - 1)
            return qor_s_no_memory;
        m_outLength = static_cast<int>(n);
        m_flags |= kLengthKnown;
    }
    *len = m_outLength;
    return qor_s_ok;
}

QORStatus QORRespCookie::get(char* out)
{
    char* w;
    QORStatus st = getStart(out, &w);
    if (st != qor_s_ok || w == nullptr)
        return st;
    const struct {
        bool present;
        const QORStringRef* name;
        const QORNCPStringRef* value;
    } attributes[] = {
        {(m_respFlags & kComment) != 0, &Comment, &m_comment},
        {(m_flags & kDomain) != 0, &Domain, &m_domain},
        {(m_flags & kPath) != 0, &Path, &m_path},
        {(m_respFlags & kMaxAge) != 0, &MaxAge, &m_maxAge},
        {(m_respFlags & kExpires) != 0, &Expires, &m_expires},
    };
    for (const auto& a : attributes) {
        if (!a.present)
            continue;
        w = put(w, "; ", 2);
        w = put(w, *a.name);
        *w++ = '=';
        w = put(w, *a.value);
    }
    if (m_respFlags & kVersion) {
        w = put(w, "; ", 2);
        w = put(w, Version);
        *w++ = '=';
        w = putDecimal(w, static_cast<unsigned>(m_version));
    }
    if ((m_respFlags & kSecure) && m_secure) {
        w = put(w, "; ", 2);
        w = put(w, Secure);
    }
    if (m_httpOnly) {
        w = put(w, "; ", 2);
        w = put(w, HttpOnly);
    }
    *w = 0;
    return qor_s_ok;
}

QORStatus QORRespCookie::getComment(QORStringRefT<char>* out)
{
    return getField(&m_respFlags, kComment, m_comment, out);
}

QORStatus QORRespCookie::getMaxAge(QORStringRefT<char>* out)
{
    return getField(&m_respFlags, kMaxAge, m_maxAge, out);
}

QORStatus QORRespCookie::getExpires(QORStringRefT<char>* out)
{
    return getField(&m_respFlags, kExpires, m_expires, out);
}

QORStatus QORRespCookie::getVersion(int* out)
{
    QORStatus st = parseFirst(m_respFlags & kVersion);
    if (st != qor_s_ok)
        return st;
    if (!(m_respFlags & kVersion))
        return qor_s_not_available;
    *out = m_version;
    return qor_s_ok;
}

QORStatus QORRespCookie::getSecure(bool* out)
{
    QORStatus st = parseFirst(m_respFlags & kSecure);
    if (st != qor_s_ok)
        return st;
    if (!(m_respFlags & kSecure))
        return qor_s_not_available;
    *out = m_secure;
    return qor_s_ok;
}

// HttpOnly has no present flag: it is known once the source was parsed.
QORStatus QORRespCookie::getHttpOnly(bool* out)
{
    QORStatus st = parseFirst(m_flags & kLengthKnown);
    if (st != qor_s_ok)
        return st;
    *out = m_httpOnly;
    return qor_s_ok;
}

QORStatus QORRespCookie::setComment(const QORStringRefT<char>& comment)
{
    return setField(&m_respFlags, kComment, &m_comment, comment);
}

QORStatus QORRespCookie::setMaxAge(const QORStringRefT<char>& maxAge)
{
    return setField(&m_respFlags, kMaxAge, &m_maxAge, maxAge);
}

QORStatus QORRespCookie::setExpires(const QORStringRefT<char>& expires)
{
    return setField(&m_respFlags, kExpires, &m_expires, expires);
}

QORStatus QORRespCookie::setVersion(int version)
{
    QORStatus st = parseFirst(m_respFlags & kVersion);
    if (st != qor_s_ok)
        return st;
    if (version < 0) {
        m_respFlags &= static_cast<uint8_t>(~kVersion);
    } else {
        m_version = version;
        m_respFlags |= kVersion;
    }
    changed();
    return qor_s_ok;
}

QORStatus QORRespCookie::setSecure(bool secure)
{
    QORStatus st = parseFirst(m_respFlags & kSecure);
    if (st != qor_s_ok)
        return st;
    m_secure = secure;
    m_respFlags |= kSecure;
    changed();
    return qor_s_ok;
}

QORStatus QORRespCookie::setHttpOnly(bool httpOnly)
{
    QORStatus st = parseFirst(m_flags & kLengthKnown);
    if (st != qor_s_ok)
        return st;
    m_httpOnly = httpOnly;
    changed();
    return qor_s_ok;
}

QORCookieSet::QORCookieSet(QORAllocator* a, QORCookie* first)
    : m_allocator(a)
    , m_first(first)
{
}

QORCookieSet::~QORCookieSet() = default;

QORStatus QORCookieSet::prepare()
{
    if (!(m_flags & kHasSource) || (m_flags & kParsed))
        return qor_s_ok;
    // Marked first: the parse adds through merge, which prepares too. A
    // failure is reported once; the cookies read before it stay.
    m_flags |= kParsed;
    QORBufferCursor c(m_source.data(), m_source.length());
    QORStatus st = do_parse(c);
    return st == qor_s_not_available ? qor_s_ok : st;
}

void QORCookieSet::setSource(const QORStringRefT<char>& text)
{
    delCookies();
    static_cast<QORStringRefT<char>&>(m_source) = text;
    m_flags = kHasSource;
    m_version = 0;
}

void QORCookieSet::forgetAll()
{
    delCookies();
    m_source = QORStringRef();
    m_flags = 0;
    m_version = 0;
}

QORCookieSet::Entry* QORCookieSet::newEntry()
{
    if (!m_firstEntryUsed) {
        m_firstEntryUsed = true;
        return &m_firstEntry;
    }
    return static_cast<Entry*>(QORAllocator::allocate(m_allocator, sizeof(Entry)));
}

void QORCookieSet::freeEntry(Entry* e)
{
    if (e == &m_firstEntry)
        m_firstEntryUsed = false;
    else
        QORAllocator::deallocate(m_allocator, e);
}

void QORCookieSet::destroy(QORCookie* c)
{
    if (c == m_first) {
        m_first->reset();
        m_firstUsed = false;
    } else {
        qor_delete(c);
    }
}

// A copied cookie past the first shares one block with its entry.
const size_t kNodeHeader = (sizeof(QORCookieSet::Entry) + alignof(std::max_align_t) - 1) /
                           alignof(std::max_align_t) * alignof(std::max_align_t);

void QORCookieSet::release(Entry* e)
{
    if (e->node) {
        e->cookie->~QORCookie();
        QORAllocator::deallocate(m_allocator, e);
        return;
    }
    destroy(e->cookie);
    freeEntry(e);
}

void QORCookieSet::delCookies()
{
    Entry* e = m_list;
    m_list = nullptr;
    while (e != nullptr) {
        Entry* next = e->next;
        release(e);
        e = next;
    }
}

int QORCookieSet::count()
{
    (void)prepare(); // a parse fault is reported by the calls that return one
    int n = 0;
    for (Entry* e = m_list; e != nullptr; e = e->next)
        n++;
    return n;
}

QORStatus QORCookieSet::insert(Entry** at, QORCookie* offered, bool takeOwnership)
{
    Entry* e;
    if (takeOwnership || !m_firstUsed) {
        e = newEntry();
        if (e == nullptr) {
            if (takeOwnership)
                destroy(offered);
            return qor_s_no_memory;
        }
        e->node = false;
        if (takeOwnership) {
            e->cookie = offered;
        } else {
            e->cookie = do_copyCookie(m_first, nullptr, *offered);
            m_firstUsed = true;
        }
    } else {
        void* block = QORAllocator::allocate(
            m_allocator, static_cast<unsigned>(kNodeHeader + do_cookieSize()));
        if (block == nullptr)
            return qor_s_no_memory;
        e = static_cast<Entry*>(block);
        e->node = true;
        e->cookie = do_copyCookie(nullptr, static_cast<char*>(block) + kNodeHeader, *offered);
    }
    e->next = *at;
    *at = e;
    return qor_s_ok;
}

QORStatus QORCookieSet::merge(QORCookie* offered, bool takeOwnership)
{
    QORStringRef name;
    QORNCPStringRef path;
    QORStatus st = prepare();
    if (st == qor_s_ok)
        st = offered->getName(&name);
    if (st == qor_s_ok)
        st = pathOf(offered, &path);
    if (st != qor_s_ok) {
        if (takeOwnership)
            destroy(offered);
        return st;
    }
    Entry** at = &m_list;
    for (Entry* e = m_list; e != nullptr; at = &e->next, e = e->next) {
        const QORStringRefT<char>* existingName = nameOf(e->cookie);
        if (existingName == nullptr || !sameBytes(*existingName, name))
            continue;
        QORNCPStringRef existingPath;
        st = pathOf(e->cookie, &existingPath);
        if (st == qor_s_ok && sameBytes(existingPath, path)) {
            st = do_update(e->cookie, offered);
            if (takeOwnership) {
                e->cookie->adoptText(offered);
                destroy(offered);
            }
            return st;
        }
        if (st == qor_s_ok && properPrefix(existingPath, path))
            break;
        if (st == qor_s_ok && properPrefix(path, existingPath)) {
            at = &e->next;
            break;
        }
        if (takeOwnership)
            destroy(offered);
        return st == qor_s_ok ? qor_s_cookie_bad_path : st;
    }
    return insert(at, offered, takeOwnership);
}

QORStatus QORCookieSet::mergeByName(QORCookie* offered, bool takeOwnership)
{
    QORStringRef name;
    QORStatus st = prepare();
    if (st == qor_s_ok)
        st = offered->getName(&name);
    if (st != qor_s_ok) {
        if (takeOwnership)
            destroy(offered);
        return st;
    }
    Entry* e = findName(name);
    if (e == nullptr) {
        Entry** at = &m_list;
        while (*at != nullptr)
            at = &(*at)->next;
        return insert(at, offered, takeOwnership);
    }
    QORCookie* x = e->cookie;
    typedef QORStatus (QORCookie::*Setter)(const QORStringRefT<char>&);
    auto replace = [x](QORStatus got, const QORStringRefT<char>& v, Setter set, uint8_t flag) {
        if (got == qor_s_ok)
            return (x->*set)(v);
        return got == qor_s_not_available ? x->clearField(flag) : got;
    };
    QORNCPStringRef v;
    st = replace(offered->getValue(&v), v, &QORCookie::setValue, QORCookie::kValue);
    if (st == qor_s_ok)
        st = replace(offered->getPath(&v), v, &QORCookie::setPath, QORCookie::kPath);
    if (st == qor_s_ok)
        st = replace(offered->getDomain(&v), v, &QORCookie::setDomain, QORCookie::kDomain);
    if (takeOwnership) {
        e->cookie->adoptText(offered);
        destroy(offered);
    }
    return st;
}

QORStatus QORCookieSet::removeCookie(const QORStringRefT<char>& name,
                                     const QORStringRefT<char>* path)
{
    QORStatus st = prepare();
    if (st != qor_s_ok)
        return st;
    bool removed = false;
    Entry** at = &m_list;
    while (*at != nullptr) {
        Entry* e = *at;
        const QORStringRefT<char>* n = nameOf(e->cookie);
        bool match = n != nullptr && sameBytes(*n, name);
        if (match && path != nullptr) {
            QORNCPStringRef p;
            match = pathOf(e->cookie, &p) == qor_s_ok && sameBytes(p, *path);
        }
        if (!match) {
            at = &e->next;
            continue;
        }
        *at = e->next;
        release(e);
        removed = true;
        if (path != nullptr)
            break;
    }
    return removed ? qor_s_ok : qor_s_not_available;
}

QORCookieSet::Entry* QORCookieSet::findName(const QORStringRefT<char>& name)
{
    for (Entry* e = m_list; e != nullptr; e = e->next) {
        const QORStringRefT<char>* n = nameOf(e->cookie);
        if (n != nullptr && sameBytes(*n, name))
            return e;
    }
    return nullptr;
}

const QORStringRefT<char>* QORCookieSet::nameOf(QORCookie* c)
{
    if (c->parseFirst(c->m_flags & QORCookie::kName) != qor_s_ok)
        return nullptr;
    return (c->m_flags & QORCookie::kName) ? &c->m_name : nullptr;
}

QORStatus QORCookieSet::getLen(int* len)
{
    QORStatus st = prepare();
    return st != qor_s_ok ? st : do_getLen(len);
}

QORStatus QORCookieSet::getHeaderValue(char* out)
{
    QORStatus st = prepare();
    return st != qor_s_ok ? st : do_getHeaderValue(out);
}

QORStatus QORCookieSet::getHeaderValue(QORNCPString* out)
{
    int len;
    QORStatus st = getLen(&len);
    if (st != qor_s_ok)
        return st;
    if (!out->reserve(len))
        return qor_s_no_memory;
    st = do_getHeaderValue(out->buffer());
    if (st != qor_s_ok)
        return st;
    out->setLength(len);
    return qor_s_ok;
}

QORStatus QORCookieSet::measure(int prefixLength, int separatorLength, int* len)
{
    long long n = prefixLength;
    for (Entry* e = m_list; e != nullptr; e = e->next) {
        int l;
        QORStatus st = e->cookie->getLen(&l);
        if (st != qor_s_ok)
            return st;
        if (n > 0 || e != m_list)
            n += separatorLength;
        n += l;
    }
    if (n > INT_MAX - 1)
        return qor_s_no_memory;
    *len = static_cast<int>(n);
    return qor_s_ok;
}

QORStatus QORCookieSet::render(char* out, const char* prefix, int prefixLength,
                               const char* separator, int separatorLength)
{
    char* w = out;
    memcpy(w, prefix, static_cast<size_t>(prefixLength));
    w += prefixLength;
    for (Entry* e = m_list; e != nullptr; e = e->next) {
        int l;
        QORStatus st = e->cookie->getLen(&l);
        if (st != qor_s_ok)
            return st;
        if (w != out || e != m_list) {
            memcpy(w, separator, static_cast<size_t>(separatorLength));
            w += separatorLength;
        }
        st = e->cookie->get(w);
        if (st != qor_s_ok)
            return st;
        w += l;
    }
    *w = 0;
    return qor_s_ok;
}

QORStatus QORReqCookieSet::setVersion(int version)
{
    QORStatus st = prepare();
    if (st != qor_s_ok)
        return st;
    if (version < 0) {
        m_flags &= static_cast<uint8_t>(~kVersion);
    } else {
        m_version = version;
        m_flags |= kVersion;
    }
    return qor_s_ok;
}

QORStatus QORReqCookieSet::getVersion(int* version)
{
    QORStatus st = prepare();
    if (st != qor_s_ok)
        return st;
    if (!(m_flags & kVersion))
        return qor_s_not_available;
    *version = m_version;
    return qor_s_ok;
}

QORStatus QORReqCookieSet::parseVersion(QORBufferCursor& c)
{
    QORHTTPParser::wasteWhiteSpace(&c);
    c.commit();
    QORBufferCursor start = c;
    QORStringRef token;
    if (QORHTTPParser::parseToken(&c, &token) != qor_s_ok || !sameAttribute(token, Version)) {
        c = start;
        return qor_s_ok;
    }
    m_flags &= static_cast<uint8_t>(~kVersion);
    QORHTTPParser::wasteWhiteSpace(&c);
    if (c.peek() != '=')
        return qor_s_cookie_version_no_value;
    c.advance();
    QORHTTPParser::wasteWhiteSpace(&c);
    QORStringRef value;
    if (QORHTTPParser::parseCookieValue(&c, &value) != qor_s_ok)
        return qor_s_cookie_version_no_value;
    int v;
    if (!parseDigits(value, &v))
        return qor_s_cookie_bad_version;
    m_version = v;
    m_flags |= kVersion;
    QORHTTPParser::wasteWhiteSpace(&c);
    c.commit();
    if (c.atEnd() || atTerminator(c))
        return qor_s_ok;
    if (c.peek() != ';' && c.peek() != ',')
        return qor_s_cookie_bad_delimiter;
    c.advance();
    QORHTTPParser::wasteWhiteSpace(&c);
    c.commit();
    return qor_s_ok;
}

QORStatus QORReqCookieSet::do_parse(QORBufferCursor& c)
{
    QORStatus st = parseVersion(c);
    if (st != qor_s_ok)
        return st;
    // One cookie reads each in turn; the set keeps copies.
    QORReqCookie cookie(m_allocator);
    for (;;) {
        QORHTTPParser::wasteWhiteSpace(&c);
        c.commit();
        if (c.atEnd() || atTerminator(c))
            return qor_s_ok;
        cookie.set(QORStringRef(c.current(), c.remaining()));
        st = cookie.parseString(c);
        if (st == qor_s_not_available) {
            // No name here: step over the byte and look again.
            c.advance();
            c.commit();
            continue;
        }
        if (st != qor_s_ok)
            return st;
        // "$Path" or "$Domain" with no cookie before it, or "$Version"
        // after the start, is dropped: written back as a cookie of its own it
        // would read as an attribute or as the set's version.
        QORStringRef name;
        // Just parsed with a name; anything else leaves name empty, kept.
        (void)cookie.getName(&name);
        if (sameAttribute(name, QORReqCookie::Path) || sameAttribute(name, QORReqCookie::Domain) ||
            sameAttribute(name, QORReqCookie::Version))
            continue;
        // Same-named cookies with unrelated paths: the first one stays.
        st = merge(&cookie, false);
        if (st != qor_s_ok && st != qor_s_cookie_bad_path)
            return st;
    }
}

int QORReqCookieSet::versionPrefix(char* out)
{
    if (!(m_flags & kVersion))
        return 0;
    memcpy(out, Version.data(), static_cast<size_t>(Version.length()));
    char* w = out + Version.length();
    *w++ = '=';
    w = putDecimal(w, static_cast<unsigned>(m_version));
    return static_cast<int>(w - out);
}

QORStatus QORReqCookieSet::do_getLen(int* len)
{
    char prefix[32];
    return measure(versionPrefix(prefix), 2, len);
}

QORStatus QORReqCookieSet::do_getHeaderValue(char* out)
{
    char prefix[32];
    return render(out, prefix, versionPrefix(prefix), "; ", 2);
}

QORStatus QORReqCookieSet::do_update(QORCookie* existing, QORCookie* offered)
{
    QORNCPStringRef v;
    QORStatus st = qor_s_ok;
    if (offered->getValue(&v) == qor_s_ok)
        st = existing->setValue(v);
    if (st == qor_s_ok && offered->getDomain(&v) == qor_s_ok)
        st = existing->setDomain(v);
    return st;
}

QORStatus QORRespCookieSet::addFromHeaderValue(const QORStringRefT<char>& text)
{
    QORStatus st = prepare();
    if (st != qor_s_ok)
        return st;
    QORBufferCursor c(text.data(), text.length());
    st = do_parse(c);
    return st == qor_s_not_available ? qor_s_ok : st;
}

QORStatus QORRespCookieSet::do_parse(QORBufferCursor& c)
{
    QORRespCookie cookie(m_allocator);
    for (;;) {
        QORHTTPParser::wasteWhiteSpace(&c);
        c.commit();
        if (c.atEnd() || atTerminator(c))
            return qor_s_ok;
        cookie.set(QORStringRef(c.current(), c.remaining()));
        QORStatus st = cookie.parseString(c);
        if (st != qor_s_ok)
            return st;
        st = merge(&cookie, false);
        if (st != qor_s_ok && st != qor_s_cookie_bad_path)
            return st;
        QORHTTPParser::wasteWhiteSpace(&c);
        c.commit();
        if (c.atEnd() || atTerminator(c))
            return qor_s_ok;
        if (c.peek() != ';' && c.peek() != ',')
            return qor_s_cookie_bad_delimiter;
        c.advance();
    }
}

QORStatus QORRespCookieSet::do_getLen(int* len)
{
    return measure(0, 2, len);
}

QORStatus QORRespCookieSet::do_getHeaderValue(char* out)
{
    return render(out, "", 0, ", ", 2);
}

QORStatus QORRespCookieSet::do_update(QORCookie* existing, QORCookie* offered)
{
    QORNCPStringRef v;
    QORStatus st = existing->setValue(offered->getValue(&v) == qor_s_ok ? v : QORNCPStringRef());
    if (st == qor_s_ok && offered->getDomain(&v) == qor_s_ok)
        st = existing->setDomain(v);
    return st;
}
