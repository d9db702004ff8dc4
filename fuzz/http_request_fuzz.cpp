// http_request_fuzz.cpp: a request line and header block over arbitrary
// bytes, then the header set rebuilt into one block. Every view must lie in
// the input; the rebuilt block must read back to the same names and values
// in the same order; reparsing with a warm free list must allocate nothing;
// the status line parser gets the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/http/qorhttpparser.h"
#include "core/memory/qorcountingallocator.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "http_request_fuzz: %s\n", what);
        abort();
    }
}

bool inside(const QORStringRefT<char>& v, const char* base, size_t size)
{
    return v.length() >= 0 && v.data() >= base &&
           v.data() + v.length() <= base + size;
}

std::vector<std::string> pairs(QORHTTPHeaderSet& h)
{
    std::vector<std::string> out;
    for (QORHTTPHeaderSet::Iterator it = h.begin(); it.valid(); it.next()) {
        out.push_back(std::string(it.key().data(), static_cast<size_t>(it.key().length())));
        out.push_back(std::string(it.value().data(), static_cast<size_t>(it.value().length())));
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* base = text.data();
    QORBufferCursor c(base, static_cast<int>(size));

    QORHTTPMethod method = qor_method_options;
    QORStringRefT<char> methodText, uri, version;
    QORStatus st = QORHTTPParser::parseRequestLine(&c, &method, &methodText, &uri, &version);
    check(c.current() >= base && c.current() <= base + size, "cursor out of range");
    check(c.current() == c.mark(), "failure left the cursor off its mark");
    if (st == qor_s_ok || st == qor_s_http_unknown_method) {
        check(inside(methodText, base, size) && inside(uri, base, size) &&
                  inside(version, base, size),
              "request line view outside the input");
        check((st == qor_s_ok) == (method != qor_method_unrecognized), "method status");
        check(uri.length() > 0 && version.length() >= 7, "empty request line part");
    }

    QORCountingAllocator a;
    {
        QORHTTPHeaderSet h(&a);
        QORBufferCursor hc = c;
        st = QORHTTPParser::parseHeaderSet(&hc, &h);
        check(hc.current() == hc.mark(), "header failure left the cursor off its mark");
        int count = 0;
        for (QORHTTPHeaderSet::Iterator it = h.begin(); it.valid(); it.next(), count++) {
            check(inside(it.key(), base, size) && inside(it.value(), base, size),
                  "header view outside the input");
            check(it.key().length() > 0, "empty header name");
            check(h.bucketOf(it.key()) == QORHTTPHdrNameRef::hashName(it.key().data(), it.key().length()) % 17,
                  "header in the wrong bucket");
        }
        check(count == h.count(), "count disagrees with the entries");

        if (st == qor_s_ok) {
            std::vector<std::string> before = pairs(h);
            int allocated = a.allocations;
            h.clear();
            QORBufferCursor again = c;
            check(QORHTTPParser::parseHeaderSet(&again, &h) == qor_s_ok, "reparse failed");
            check(a.allocations == allocated, "warm reparse allocated");
            check(pairs(h) == before, "reparse differs");

            char* block = nullptr;
            QORStatus rs = QORHTTPParser::rebuildHeaderSet(&h, &a, &block);
            check(rs == qor_s_ok, "rebuild of a parsed block failed");
            check(pairs(h) == before, "rebuilt headers differ");
            check((block == nullptr) == before.empty(), "block presence");
            QORAllocator::deallocate(&a, block);
        }
    }
    check(a.live() == 0, "header table leaked");

    QORBufferCursor sc(base, static_cast<int>(size));
    QORStringRefT<char> sv, code, reason;
    st = QORHTTPParser::parseStatusLine(&sc, &sv, &code, &reason);
    check(sc.current() == sc.mark(), "status failure left the cursor off its mark");
    if (st == qor_s_ok)
        check(code.length() == 3 && reason.length() > 0 && inside(reason, base, size),
              "status line views");
    return 0;
}
