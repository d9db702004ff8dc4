#include "core/http/qorcookie.h"

#include <gtest/gtest.h>
#include <string>

#include "core/http/qorhttpparser.h"
#include "core/memory/qorcountingallocator.h"
#include "qorteststr.h"

namespace {

QORStringRef view(const std::string& s)
{
    return QORStringRef(s.data(), static_cast<int>(s.size()));
}

template <class T>
std::string render(T* cookieOrSet)
{
    QORNCPString out;
    QORStatus st;
    if constexpr (std::is_base_of<QORCookieSet, T>::value)
        st = cookieOrSet->getHeaderValue(&out);
    else
        st = cookieOrSet->get(&out);
    EXPECT_EQ(st, qor_s_ok);
    int len = -1;
    EXPECT_EQ(cookieOrSet->getLen(&len), qor_s_ok);
    EXPECT_EQ(len, out.length());
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

std::string names(QORReqCookieSet* set)
{
    std::string s;
    for (auto it = set->begin(); it != set->end(); ++it) {
        QORStringRef n, p;
        EXPECT_EQ(it->getName(&n), qor_s_ok);
        s += qor_test_str(n);
        if (it->getPath(&p) == qor_s_ok)
            s += "@" + qor_test_str(p);
        s += " ";
    }
    return s;
}

} // namespace

TEST(QORCookieTest, RequestHeaderWrittenBackUnchangedOrFromChangedFields)
{
    const std::string header = "$Version=1; a=\"x y\"; $Path=/p; b=2; $Path=/q";
    QORReqCookieSet set(view(header));
    EXPECT_EQ(render(&set), header);
    EXPECT_EQ(names(&set), "a@/p b@/q ");
    QORStringRef v;
    ASSERT_EQ((*set.beginName(QORStringRef("a")))->getValue(&v), qor_s_ok);
    EXPECT_EQ(qor_test_str(v), "\"x y\"");
    // Each cookie copies its own bytes; the set supplies "; " between them.
    // An unquoted value keeps its blanks.
    QORReqCookieSet loose(QORStringRef("a=1;b=2 ,c"));
    EXPECT_EQ(render(&loose), "a=1; b=2 ; c");
    EXPECT_EQ(loose.count(), 3);
    // A changed cookie renders from its fields.
    const std::string domain = "$Version=1; a=1; $Domain=example.com; $Path=/p; b=2; $Path=/q";
    QORReqCookieSet changed(view(domain));
    ASSERT_NE(changed.beginName(QORStringRef("a")), changed.end());
    ASSERT_EQ((*changed.beginName(QORStringRef("a")))->setValue(QORStringRef("new")), qor_s_ok);
    EXPECT_EQ(render(&changed), "$Version=1; a=new; $Path=/p; $Domain=example.com; b=2; $Path=/q");
    ASSERT_EQ(changed.setVersion(-1), qor_s_ok);
    int version;
    EXPECT_EQ(changed.getVersion(&version), qor_s_not_available);
    EXPECT_EQ(render(&changed), "a=new; $Path=/p; $Domain=example.com; b=2; $Path=/q");
    // An empty path or domain is left out; an absent value is written empty.
    QORStringRef empty("");
    QORReqCookie c(QORStringRef("n"), QORStringRef(""), &empty, nullptr);
    EXPECT_EQ(render(&c), "n=");
}

TEST(QORCookieTest, RequestSetDamage)
{
    // No name at a position: one byte is skipped and parsing goes on.
    QORReqCookieSet skipped(QORStringRef("=x; a=1\r\nb=2"));
    EXPECT_EQ(render(&skipped), "x; a=1");
    // An attribute with no cookie before it, or a version after the start,
    // is dropped, not made a cookie that would read back as an attribute.
    QORReqCookieSet orphan(QORStringRef("a (; $Domain=d; $path=/p; b; $Version=1"));
    EXPECT_EQ(render(&orphan), "a; b");
    const struct { const char* header; QORStatus status; } cases[] = {
        {"$Version; a=1", qor_s_cookie_version_no_value},
        {"$version=x1; a=1", qor_s_cookie_bad_version},
        {"$Version=1\x01 a=1", qor_s_cookie_bad_delimiter},
        {"$Version=1 a=1", qor_s_cookie_bad_version},
    };
    for (const auto& c : cases) {
        QORReqCookieSet set(QORStringRef(c.header));
        int v;
        EXPECT_EQ(set.getVersion(&v), c.status) << c.header;
    }
}

TEST(QORCookieTest, ResponseCookieAttributes)
{
    const std::string text = "id=7; Expires=Wed, 09-Jun-2021 10:18:14 GMT; Path=/; Version=1; "
                             "Secure; HttpOnly";
    QORRespCookie c(view(text));
    QORStringRef v;
    ASSERT_EQ(c.getExpires(&v), qor_s_ok);
    EXPECT_EQ(qor_test_str(v), "Wed, 09-Jun-2021 10:18:14 GMT");
    bool secure = false, httpOnly = false;
    EXPECT_EQ(c.getSecure(&secure), qor_s_ok);
    EXPECT_EQ(c.getHttpOnly(&httpOnly), qor_s_ok);
    EXPECT_TRUE(secure && httpOnly);
    EXPECT_EQ(c.getComment(&v), qor_s_not_available);
    EXPECT_EQ(render(&c), text);
    ASSERT_EQ(c.setComment(QORStringRef("hi")), qor_s_ok);
    ASSERT_EQ(c.setMaxAge(QORStringRef("60")), qor_s_ok);
    ASSERT_EQ(c.setDomain(QORStringRef("example.com")), qor_s_ok);
    EXPECT_EQ(render(&c), "id=7; Comment=hi; Domain=example.com; Path=/; Max-Age=60; "
                          "Expires=Wed, 09-Jun-2021 10:18:14 GMT; Version=1; Secure; HttpOnly");
    QORStringRef path("/p");
    QORRespCookie built(QORStringRef("n"), QORStringRef("v"), &path, nullptr, nullptr,
                        nullptr, 0, -1);
    EXPECT_EQ(render(&built), "n=v; Path=/p");
    ASSERT_EQ(built.setSecure(true), qor_s_ok);
    ASSERT_EQ(built.setVersion(12), qor_s_ok);
    EXPECT_EQ(render(&built), "n=v; Path=/p; Version=12; Secure");
}

TEST(QORCookieTest, ResponseCookieErrors)
{
    const struct { const char* text; QORStatus status; } cases[] = {
        {"name", qor_s_http_unexpected_end}, {"a=1; Secure=yes", qor_s_cookie_secure_value},
        {"a=1; Version=x", qor_s_cookie_bad_version}, {"a=1; Version", qor_s_cookie_no_version},
        {"a=1; Domain", qor_s_cookie_no_domain}, {"a=1; path", qor_s_cookie_no_path},
        {"a=1; Max-Age", qor_s_cookie_no_max_age}, {"a=1; Comment", qor_s_cookie_no_comment},
        {"a=1; Expires", qor_s_cookie_no_expires}, {"a=1;", qor_s_cookie_bad_param_name},
        {"a=1; Path=", qor_s_cookie_bad_param_value},
        {"a=1; HttpOnly=1", qor_s_cookie_bad_param_value},
    };
    for (const auto& t : cases) {
        QORRespCookie c(QORStringRef(t.text));
        QORStringRef v;
        EXPECT_EQ(c.getValue(&v), t.status) << t.text;
        // The name read before the failure stays.
        EXPECT_EQ(c.getName(&v), qor_s_ok) << t.text;
    }
}

TEST(QORCookieTest, ResponseSetParsing)
{
    const std::string header = "a=1; Path=/, b=2; Expires=Wed, 09-Jun-2021 10:18:14 GMT";
    QORRespCookieSet set(view(header));
    EXPECT_EQ(set.count(), 2);
    EXPECT_EQ(render(&set), header);
    // An attribute outside the table ends the cookie before it.
    QORRespCookieSet unknown(QORStringRef("a=1; SameSite=Lax, b=2"));
    int len;
    EXPECT_EQ(unknown.getLen(&len), qor_s_cookie_bad_delimiter);
    EXPECT_EQ(render(&unknown), "a=1");
    ASSERT_EQ(unknown.addFromHeaderValue(QORStringRef("b=3; Domain=d")), qor_s_ok);
    ASSERT_EQ(unknown.addFromHeaderValue(QORStringRef("a; Path=/")), qor_s_ok);
    EXPECT_EQ(render(&unknown), "a=, b=3; Domain=d");
}

TEST(QORCookieTest, MergeByNameAndPath)
{
    QORReqCookieSet set;
    QORStringRef x("/x"), xy("/x/y"), root("/"), z("/z"), d("d");
    ASSERT_EQ(set.setCookie(QORStringRef("a"), QORStringRef("1"), &x), qor_s_ok);
    ASSERT_EQ(set.setCookie(QORStringRef("b"), QORStringRef("1")), qor_s_ok);
    ASSERT_EQ(set.setCookie(QORStringRef("a"), QORStringRef("2"), &x, &d), qor_s_ok);
    EXPECT_EQ(set.count(), 2);
    ASSERT_EQ(set.setCookie(QORStringRef("a"), QORStringRef("3"), &xy), qor_s_ok);
    ASSERT_EQ(set.setCookie(QORStringRef("a"), QORStringRef("4"), &root), qor_s_ok);
    EXPECT_EQ(names(&set), "a@/x/y a@/ a@/x b ");
    EXPECT_EQ(set.setCookie(QORStringRef("a"), QORStringRef("5"), &z), qor_s_cookie_bad_path);
    EXPECT_EQ(render(&set), "a=3; $Path=/x/y; a=4; $Path=/; a=2; $Path=/x; $Domain=d; b=1");

    // A cookie object that stays the caller's is copied.
    QORReqCookie mine(QORStringRef("b=9"));
    ASSERT_EQ(set.setCookie(&mine, false), qor_s_ok);
    ASSERT_EQ(mine.setValue(QORStringRef("10")), qor_s_ok);
    EXPECT_EQ(render(&set), "a=3; $Path=/x/y; a=4; $Path=/; a=2; $Path=/x; $Domain=d; b=9");

    ASSERT_EQ(set.setCookieByName(QORStringRef("a"), QORStringRef("6"), &z), qor_s_ok);
    EXPECT_EQ(names(&set), "a@/z a@/ a@/x b ");
    ASSERT_EQ(set.removeCookie(QORStringRef("a"), &root), qor_s_ok);
    EXPECT_EQ(names(&set), "a@/z a@/x b ");
    ASSERT_EQ(set.removeCookie(QORStringRef("a")), qor_s_ok);
    EXPECT_EQ(set.removeCookie(QORStringRef("a")), qor_s_not_available);
    EXPECT_EQ(render(&set), "b=9");
    // A response cookie merged by name clears or keeps its fields.
    QORRespCookieSet resp(QORStringRef("s=1; Domain=old; Secure"));
    ASSERT_EQ(resp.setCookie(QORStringRef("s; Path=/")), qor_s_ok);
    EXPECT_EQ(render(&resp), "s=; Domain=old; Secure");
    ASSERT_EQ(resp.setCookie(QORStringRef("s=2; Domain=new")), qor_s_ok);
    EXPECT_EQ(render(&resp), "s=2; Domain=new; Secure");
    EXPECT_EQ(resp.setCookie(QORStringRef("t; Path=/")), qor_s_ok);
    EXPECT_EQ(resp.setCookie(QORStringRef("broken")), qor_s_http_unexpected_end);
    EXPECT_EQ(resp.count(), 2);
}

TEST(QORCookieTest, TakeOwnershipCopiesEveryField)
{
    QORCountingAllocator a;
    {
        std::string header = "k=v; Path=/p; Comment=c";
        QORRespCookie c(view(header), &a);
        QORStringRef v;
        ASSERT_EQ(c.getPath(&v), qor_s_ok);
        std::string domain = "example.com";
        ASSERT_EQ(c.setDomain(view(domain)), qor_s_ok);

        a.failAfter = 0;
        EXPECT_EQ(c.takeOwnership(), qor_s_no_memory);
        EXPECT_EQ(c.getDomain(&v), qor_s_ok);
        EXPECT_EQ(v.data(), domain.data());
        a.failAfter = -1;

        ASSERT_EQ(c.takeOwnership(), qor_s_ok);
        ASSERT_EQ(c.takeOwnership(), qor_s_ok);
        header.assign(header.size(), '#');
        domain.assign(domain.size(), '#');
        EXPECT_EQ(render(&c), "k=v; Comment=c; Domain=example.com; Path=/p");
        EXPECT_EQ(a.live(), 1);
    }
    EXPECT_EQ(a.live(), 0);

    // A set keeps its first entry and cookie inline; an owned cookie given
    // to a set is freed with it.
    {
        QORReqCookieSet set(QORStringRef("only=1"), &a);
        EXPECT_EQ(render(&set), "only=1");
        EXPECT_EQ(a.live(), 0);
        std::string text = "only=2";
        QORReqCookie* c = qor_new<QORReqCookie>(&a, view(text), &a);
        ASSERT_EQ(c->takeOwnership(), qor_s_ok);
        ASSERT_EQ(set.setCookie(c, true), qor_s_ok);
        text.assign(text.size(), '#');
        EXPECT_EQ(render(&set), "only=2");
        ASSERT_EQ(set.setCookie(QORStringRef("more=1")), qor_s_ok);
        EXPECT_GT(a.live(), 0);
    }
    EXPECT_EQ(a.live(), 0);
}
