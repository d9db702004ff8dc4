// qorcookie.h: the cookies of HTTP headers. QORReqCookie and QORRespCookie
// are single cookies of a "Cookie" request header and of a "Set-Cookie"
// response header; QORReqCookieSet and QORRespCookieSet are the cookies of
// one header value. The web-server adapter reads, changes, adds and removes
// cookies with them and writes the header back.
//
// Everything parses lazily: an object made from header text keeps a view of
// it and parses it when a field is first read or changed, and a cookie
// whose fields never changed writes the bytes it was parsed from back as
// they were. Fields view the header text or the caller's strings until
// takeOwnership copies them. Not synchronised: one transaction at a time.
#pragma once
#include <cstdint>
#include <new>
#include "core/buffers/qorbuffercursor.h"
#include "core/buffers/qorstring.h"
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

enum : QORStatusCode {
    qor_s_cookie_bad_param_name   = QOR_MSG_ID(75), // 0x35f0204b
    qor_s_cookie_bad_param_value  = QOR_MSG_ID(76), // 0x35f0204c
    qor_s_cookie_no_domain        = QOR_MSG_ID(77), // 0x35f0204d
    qor_s_cookie_no_path          = QOR_MSG_ID(78), // 0x35f0204e
    qor_s_cookie_no_version       = QOR_MSG_ID(79), // 0x35f0204f
    qor_s_cookie_no_max_age       = QOR_MSG_ID(80), // 0x35f02050
    qor_s_cookie_secure_value     = QOR_MSG_ID(81), // 0x35f02051
    qor_s_cookie_no_comment       = QOR_MSG_ID(82), // 0x35f02052
    qor_s_cookie_no_expires       = QOR_MSG_ID(83), // 0x35f02053
    qor_s_cookie_bad_version      = QOR_MSG_ID(84), // 0x35f02054
    qor_s_cookie_version_no_value = QOR_MSG_ID(85), // 0x35f02055
    qor_s_cookie_bad_delimiter    = QOR_MSG_ID(86), // 0x35f02056
    qor_s_cookie_bad_path         = QOR_MSG_ID(87), // 0x35f02057
};

class QORCookie {
public:
    enum : uint8_t {
        kHasSource = 1,
        kLengthKnown = 4, // the output length is that of the current output
        kName = 8,
        kValue = 16,
        kPath = 32,
        kDomain = 64,
    };

    QORCookie(const QORCookie&) = delete;
    QORCookie& operator=(const QORCookie&) = delete;
    virtual ~QORCookie();

    // Makes the cookie from text, to be parsed when first needed; every
    // field is forgotten.
    virtual void set(const QORStringRefT<char>& text);
    // The length of the text get writes, terminator not counted.
    virtual QORStatus getLen(int* len) = 0;
    // Writes the cookie and a terminator into out (getLen + 1 bytes): the
    // bytes it was parsed from while nothing changed, else rendered from
    // the fields. qor_s_not_available without a name.
    virtual QORStatus get(char* out) = 0;
    virtual QORStatus get(QORNCPString* out);
    // Copies the source text and every present field into memory from the
    // cookie's allocator, so the cookie depends on no outside buffer.
    // qor_s_no_memory leaves it as it was.
    virtual QORStatus takeOwnership();
    // Reads the cookie at the cursor; on success the cursor stands after
    // what belongs to the cookie, on failure where it was.
    virtual QORStatus parseString(QORBufferCursor& c) = 0;

    // A field: the source is parsed first when the cookie has source text
    // that has not given the field (the parse status is returned), then
    // the field, or qor_s_not_available when absent.
    QORStatus getName(QORStringRefT<char>* out);
    QORStatus getValue(QORStringRefT<char>* out);
    QORStatus getPath(QORStringRefT<char>* out);
    QORStatus getDomain(QORStringRefT<char>* out);
    // Changing a field parses first in the same way, then the field views
    // the given text and the cookie renders from its fields from now on.
    QORStatus setName(const QORStringRefT<char>& name);
    QORStatus setValue(const QORStringRefT<char>& value);
    QORStatus setPath(const QORStringRefT<char>& path);
    QORStatus setDomain(const QORStringRefT<char>& domain);

    uint8_t flags() const { return m_flags; }
    QORAllocator* allocator() const { return m_allocator; }

protected:
    explicit QORCookie(QORAllocator* a);
    QORCookie(const QORStringRefT<char>& text, QORAllocator* a);

    // Parses the source when the cookie has one and held is false.
    QORStatus parseFirst(bool held);
    // A field and its presence bit in *flags (m_flags, or a subclass's own
    // flags word).
    QORStatus getField(uint8_t flag, const QORStringRefT<char>& field,
                       QORStringRefT<char>* out)
    {
        return getField(&m_flags, flag, field, out);
    }
    QORStatus setField(uint8_t flag, QORStringRefT<char>* field,
                       const QORStringRefT<char>& value)
    {
        return setField(&m_flags, flag, field, value);
    }
    QORStatus getField(uint8_t* flags, uint8_t flag,
                       const QORStringRefT<char>& field, QORStringRefT<char>* out);
    QORStatus setField(uint8_t* flags, uint8_t flag, QORStringRefT<char>* field,
                       const QORStringRefT<char>& value);
    // A field change: the output is rendered from the fields from now on.
    void changed() { m_flags &= static_cast<uint8_t>(~(kHasSource | kLengthKnown)); }
    // Whether the source was parsed and nothing changed since.
    bool parsedUnchanged() const
    {
        return (m_flags & (kHasSource | kLengthKnown)) == (kHasSource | kLengthKnown);
    }
    // Copies the unchanged source bytes, terminated.
    void getSource(char* out) const;
    // The start that both kinds of cookie write: the unchanged source (and
    // *w null: nothing more to add), or "name=value" with *w after it.
    QORStatus getStart(char* out, char** w);
    // Records the bytes from start to end as the parsed output.
    void parsed(const char* start, const char* end);
    // Back to a new cookie: no source, no field, no owned text.
    void reset();
    // Removes a field (parsing first as a setter does).
    QORStatus clearField(uint8_t flag);

    // The set's copy of a cookie shares its views; its source is narrowed
    // to the bytes parsed.
    void copyFrom(const QORCookie& other);
    // Takes over other's owned text, which this cookie's fields may now view.
    void adoptText(QORCookie* other);
    // Copies the source and the listed present fields into one new block.
    QORStatus ownFields(QORStringRefT<char>* const* extra, int extraCount);

    static void assign(QORStringRefT<char>* field, const QORStringRefT<char>& value);
    static char* put(char* w, const char* s, int n);
    static char* put(char* w, const QORStringRefT<char>& s)
    {
        return put(w, s.data(), s.length());
    }

    uint8_t m_flags;
    QORStringRef m_source;
    QORStringRef m_name;
    QORNCPStringRef m_value;
    QORNCPStringRef m_path;
    QORNCPStringRef m_domain;
    int m_outLength;
    QORAllocator* m_allocator;
    // Blocks of copied text, chained, each from the allocator that made it.
    void* m_owned = nullptr;

    friend class QORCookieSet;
};

// A cookie of a "Cookie" header: name=value with "$Path" and "$Domain".
class QORReqCookie : public QORCookie {
public:
    static const QORStringRef Path;    // "$Path"
    static const QORStringRef Domain;  // "$Domain"
    static const QORStringRef Version; // "$Version"

    explicit QORReqCookie(QORAllocator* a = nullptr);
    QORReqCookie(const QORStringRefT<char>& text, QORAllocator* a = nullptr);
    // Null path or domain: absent.
    QORReqCookie(const QORStringRefT<char>& name, const QORStringRefT<char>& value,
                 const QORStringRefT<char>* path, const QORStringRefT<char>* domain,
                 QORAllocator* a = nullptr);

    // name=value, then "; $Path=path" and "; $Domain=domain" when present
    // and not empty.
    QORStatus getLen(int* len) override;
    QORStatus get(char* out) override;
    using QORCookie::get;
    // name ["=" value] followed by ";" or "," separated "$Path" and
    // "$Domain" attributes; another attribute name is the next cookie,
    // where the cursor is left.
    QORStatus parseString(QORBufferCursor& c) override;

    void copyFrom(const QORReqCookie& other) { QORCookie::copyFrom(other); }
};

// A cookie of a "Set-Cookie" header with its attributes.
class QORRespCookie : public QORCookie {
public:
    enum : uint8_t {
        kComment = 1,
        kVersion = 2,
        kMaxAge = 4,
        kSecure = 8,
        kExpires = 16,
    };

    static const QORStringRef Expires;  // "Expires"
    static const QORStringRef MaxAge;   // "Max-Age"
    static const QORStringRef HttpOnly; // "HttpOnly"
    static const QORStringRef Secure;   // "Secure"
    static const QORStringRef Comment;  // "Comment"
    static const QORStringRef Domain;   // "Domain"
    static const QORStringRef Path;     // "Path"
    static const QORStringRef Version;  // "Version"

    explicit QORRespCookie(QORAllocator* a = nullptr);
    QORRespCookie(const QORStringRefT<char>& text, QORAllocator* a = nullptr);
    // A null pointer, or -1 for secure and version, leaves that attribute
    // absent; secure 0 is present and false.
    QORRespCookie(const QORStringRefT<char>& name, const QORStringRefT<char>& value,
                  const QORStringRefT<char>* path, const QORStringRefT<char>* domain,
                  const QORStringRefT<char>* comment, const QORStringRefT<char>* maxAge,
                  int secure, bool httpOnly, int version, QORAllocator* a = nullptr);
    QORRespCookie(const QORStringRefT<char>& name, const QORStringRefT<char>& value,
                  const QORStringRefT<char>* path, const QORStringRefT<char>* domain,
                  const QORStringRefT<char>* comment, const QORStringRefT<char>* maxAge,
                  int secure, int version, QORAllocator* a = nullptr);
    ~QORRespCookie() override;

    void set(const QORStringRefT<char>& text) override;
    // name=value, then each present attribute in the order Comment,
    // Domain, Path, Max-Age, Expires, Version, Secure (when true),
    // HttpOnly (when true).
    QORStatus getLen(int* len) override;
    QORStatus get(char* out) override;
    using QORCookie::get;
    QORStatus takeOwnership() override;
    // name ["=" value] then ";" separated attributes. Domain, Path,
    // Version, Max-Age, Expires and Comment need a value, Secure and
    // HttpOnly must have none; another attribute name ends the cookie
    // with the cursor at that name.
    QORStatus parseString(QORBufferCursor& c) override;
    virtual void set(QORStringRefT<char>& text);

    QORStatus getComment(QORStringRefT<char>* out);
    QORStatus getVersion(int* out);
    QORStatus getMaxAge(QORStringRefT<char>* out);
    QORStatus getExpires(QORStringRefT<char>* out);
    QORStatus getSecure(bool* out);
    QORStatus getHttpOnly(bool* out);
    QORStatus setComment(const QORStringRefT<char>& comment);
    // A negative version removes it.
    QORStatus setVersion(int version);
    QORStatus setMaxAge(const QORStringRefT<char>& maxAge);
    QORStatus setExpires(const QORStringRefT<char>& expires);
    QORStatus setSecure(bool secure);
    QORStatus setHttpOnly(bool httpOnly);

    uint8_t respFlags() const { return m_respFlags; }
    void copyFrom(const QORRespCookie& other);

private:
    // Stores a known attribute; *known false for any other name.
    QORStatus parseAttribute(const QORStringRefT<char>& name, bool hasValue,
                             const QORStringRefT<char>& value, bool* known);

    uint8_t m_respFlags = 0;
    QORNCPStringRef m_comment;
    int m_version = 0;
    QORNCPStringRef m_maxAge;
    QORNCPStringRef m_expires;
    bool m_secure = false;
    bool m_httpOnly = false;
};

// What the two sets share: a singly linked list of cookies kept in merge
// order, the first entry and the first cookie held inside the set, the
// rest from the set's allocator. A set made from a header value parses it
// on first use; a parse failure is returned by that first operation, and
// the cookies read before it stay in the set.
class QORCookieSet {
public:
    struct Entry {
        Entry* next;
        QORCookie* cookie;
        bool node; // the cookie lives in the entry's own block
    };

    template <class C>
    class Iterator {
    public:
        explicit Iterator(Entry* e = nullptr)
            : m_entry(e)
        {
        }
        C* operator*() const { return static_cast<C*>(m_entry->cookie); }
        C* operator->() const { return static_cast<C*>(m_entry->cookie); }
        Iterator& operator++()
        {
            m_entry = m_entry->next;
            return *this;
        }
        bool operator==(const Iterator& o) const { return m_entry == o.m_entry; }
        bool operator!=(const Iterator& o) const { return m_entry != o.m_entry; }

    private:
        Entry* m_entry;
    };

    enum : uint8_t {
        kVersion = 1,
        kHasSource = 2,
        kParsed = 4,
    };

    QORCookieSet(const QORCookieSet&) = delete;
    QORCookieSet& operator=(const QORCookieSet&) = delete;

    // Removes every cookie of that name or, with a path, the first one of
    // that name whose path (absent or empty: "/") equals it. qor_s_not_available
    // when none matched. REQUIRES: name and path do not view text owned by
    // a cookie of this set (removing it frees that text).
    QORStatus removeCookie(const QORStringRefT<char>& name,
                           const QORStringRefT<char>* path = nullptr);
    // Removes and destroys every cookie.
    void delCookies();
    // Number of cookies.
    int count();
    // The length of the header value getHeaderValue writes.
    QORStatus getLen(int* len);
    // Writes the header value and a terminator into out (getLen + 1 bytes).
    QORStatus getHeaderValue(char* out);
    QORStatus getHeaderValue(QORNCPString* out);
    QORAllocator* allocator() const { return m_allocator; }

protected:
    QORCookieSet(QORAllocator* a, QORCookie* first);
    ~QORCookieSet();

    // Parses the source text when it has not been parsed.
    QORStatus prepare();
    void setSource(const QORStringRefT<char>& text);
    void forgetAll();
    // Inserts offered by name and path, compared with the first cookie of
    // its name (paths absent or empty read as "/"): an equal path updates
    // that cookie, a longer one goes before it, a shorter one after it, an
    // unrelated one is refused with qor_s_cookie_bad_path. With
    // takeOwnership the set owns offered (made with qor_new) whatever the
    // result.
    QORStatus merge(QORCookie* offered, bool takeOwnership);
    // The first cookie of offered's name takes offered's value, path and
    // domain; without one, offered is added at the end.
    QORStatus mergeByName(QORCookie* offered, bool takeOwnership);
    Entry* findName(const QORStringRefT<char>& name);
    // A cookie's name without copying the view; null when it has none.
    static const QORStringRefT<char>* nameOf(QORCookie* c);
    // The header value: prefix bytes, then the cookies separated by sep.
    QORStatus measure(int prefixLength, int separatorLength, int* len);
    QORStatus render(char* out, const char* prefix, int prefixLength,
                     const char* separator, int separatorLength);

    virtual QORStatus do_parse(QORBufferCursor& c) = 0;
    virtual QORStatus do_getLen(int* len) = 0;
    virtual QORStatus do_getHeaderValue(char* out) = 0;
    // A cookie of the set's kind with from's views: into (the set's inline
    // cookie) when given, else one constructed in the memory at raw, which
    // holds do_cookieSize() bytes.
    virtual QORCookie* do_copyCookie(QORCookie* into, void* raw, const QORCookie& from) = 0;
    virtual size_t do_cookieSize() const = 0;
    // An equal name and path: existing takes offered's fields.
    virtual QORStatus do_update(QORCookie* existing, QORCookie* offered) = 0;

    uint8_t m_flags = 0;
    QORStringRef m_source;
    int m_version = 0;
    Entry* m_list = nullptr;
    QORAllocator* m_allocator;

private:
    Entry* newEntry();
    void freeEntry(Entry* e);
    void destroy(QORCookie* c);
    void release(Entry* e);
    QORStatus insert(Entry** at, QORCookie* offered, bool takeOwnership);

    Entry m_firstEntry = {nullptr, nullptr, false};
    bool m_firstEntryUsed = false;
    QORCookie* m_first;
    bool m_firstUsed = false;
};

// What the request and response sets share, by their cookie type C.
template <class C>
class QORCookieSetOf : public QORCookieSet {
public:
    typedef QORCookieSet::Iterator<C> Iterator;

    // Replaces every cookie by those of the header value, parsed on first use.
    void setFromHeaderValue(const QORStringRefT<char>& text) { setSource(text); }
    // Forgets the cookies, the request set's version and the header text.
    void clear() { forgetAll(); }
    // Merges cookie by name and path (see QORCookieSet::merge). Without
    // takeOwnership the set keeps its own copy viewing cookie's text; with
    // it, cookie must come from qor_new and belongs to the set. The text
    // form (and the sets' field forms) make such a cookie.
    QORStatus setCookie(C* cookie, bool takeOwnership) { return merge(cookie, takeOwnership); }
    QORStatus setCookie(const QORStringRefT<char>& text) { return mergeNew(false, text); }
    // Matches on the name alone (see QORCookieSet::mergeByName).
    QORStatus setCookieByName(C* cookie, bool takeOwnership)
    {
        return mergeByName(cookie, takeOwnership);
    }
    QORStatus setCookieByName(const QORStringRefT<char>& text) { return mergeNew(true, text); }

    // A parse fault is reported by the calls that return a status; walking
    // shows the cookies read before it.
    Iterator begin()
    {
        (void)prepare();
        return Iterator(m_list);
    }
    Iterator end() { return Iterator(); }
    // At the first cookie of that name, else end().
    Iterator beginName(const QORStringRefT<char>& name)
    {
        (void)prepare();
        return Iterator(findName(name));
    }

protected:
    explicit QORCookieSetOf(QORAllocator* a)
        : QORCookieSet(a, &m_firstCookie)
        , m_firstCookie(a)
    {
    }
    ~QORCookieSetOf() { delCookies(); }

    // A cookie made with qor_new from the arguments of one of C's
    // constructors (the allocator appended), merged and owned by the set.
    template <class... A>
    QORStatus mergeNew(bool byName, const A&... args)
    {
        C* c = qor_new<C>(m_allocator, args..., m_allocator);
        if (c == nullptr)
            return qor_s_no_memory;
        return byName ? mergeByName(c, true) : merge(c, true);
    }
    QORCookie* do_copyCookie(QORCookie* into, void* raw, const QORCookie& from) override
    {
        C* c = into != nullptr ? static_cast<C*>(into) : new (raw) C(m_allocator);
        c->copyFrom(static_cast<const C&>(from));
        return c;
    }
    size_t do_cookieSize() const override { return sizeof(C); }

private:
    C m_firstCookie;
};

// The cookies of a "Cookie" header value with its "$Version". Reading the
// header, a byte where no cookie name starts is stepped over, a cookie that
// merging refuses (same name, unrelated path) is left out, and so is a
// "$Path" or "$Domain" with no cookie before it or a "$Version" after the
// start. Written back, the version and the cookies are separated by "; ".
class QORReqCookieSet : public QORCookieSetOf<QORReqCookie> {
public:
    static const QORStringRef CookieHeader; // "Cookie"
    static const QORStringRef Version;      // "$Version"

    explicit QORReqCookieSet(QORAllocator* a = nullptr)
        : QORCookieSetOf(a)
    {
    }
    QORReqCookieSet(const QORStringRefT<char>& headerValue, QORAllocator* a = nullptr)
        : QORCookieSetOf(a)
    {
        setSource(headerValue);
    }

    using QORCookieSetOf::setCookie;
    using QORCookieSetOf::setCookieByName;
    QORStatus setCookie(const QORStringRefT<char>& name, const QORStringRefT<char>& value,
                        const QORStringRefT<char>* path = nullptr,
                        const QORStringRefT<char>* domain = nullptr)
    {
        return mergeNew(false, name, value, path, domain);
    }
    QORStatus setCookieByName(const QORStringRefT<char>& name,
                              const QORStringRefT<char>& value,
                              const QORStringRefT<char>* path = nullptr,
                              const QORStringRefT<char>* domain = nullptr)
    {
        return mergeNew(true, name, value, path, domain);
    }
    // -1 removes the version.
    QORStatus setVersion(int version);
    QORStatus getVersion(int* version);

protected:
    QORStatus do_parse(QORBufferCursor& c) override;
    QORStatus do_getLen(int* len) override;
    QORStatus do_getHeaderValue(char* out) override;
    QORStatus do_update(QORCookie* existing, QORCookie* offered) override;

private:
    QORStatus parseVersion(QORBufferCursor& c);
    int versionPrefix(char* out);
};

// The cookies of a "Set-Cookie" header value, written back separated by
// ", ".
class QORRespCookieSet : public QORCookieSetOf<QORRespCookie> {
public:
    static const QORStringRef SetCookieHeader; // "Set-Cookie"

    explicit QORRespCookieSet(QORAllocator* a = nullptr)
        : QORCookieSetOf(a)
    {
    }
    QORRespCookieSet(const QORStringRefT<char>& headerValue, QORAllocator* a = nullptr)
        : QORCookieSetOf(a)
    {
        setSource(headerValue);
    }

    // Parses text now and merges its cookies into the set.
    QORStatus addFromHeaderValue(const QORStringRefT<char>& text);
    using QORCookieSetOf::setCookie;
    using QORCookieSetOf::setCookieByName;
    QORStatus setCookie(const QORStringRefT<char>& name, const QORStringRefT<char>& value,
                        const QORStringRefT<char>* path, const QORStringRefT<char>* domain,
                        const QORStringRefT<char>* comment,
                        const QORStringRefT<char>* maxAge, int secure, int version)
    {
        return mergeNew(false, name, value, path, domain, comment, maxAge, secure, version);
    }
    QORStatus setCookieByName(const QORStringRefT<char>& name,
                              const QORStringRefT<char>& value,
                              const QORStringRefT<char>* path,
                              const QORStringRefT<char>* domain,
                              const QORStringRefT<char>* comment,
                              const QORStringRefT<char>* maxAge, int secure, int version)
    {
        return mergeNew(true, name, value, path, domain, comment, maxAge, secure, version);
    }

protected:
    QORStatus do_parse(QORBufferCursor& c) override;
    QORStatus do_getLen(int* len) override;
    QORStatus do_getHeaderValue(char* out) override;
    QORStatus do_update(QORCookie* existing, QORCookie* offered) override;
};
