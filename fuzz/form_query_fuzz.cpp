// form_query_fuzz.cpp: form data, query strings and argument sets over
// arbitrary bytes. Form parsing may change nothing but "+" into " ";
// query parsing changes nothing; every name views the input; every table
// gives back all it took.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/http/qorhttpparser.h"
#include "core/memory/qorcountingallocator.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "form_query_fuzz: %s\n", what);
        abort();
    }
}

template <class Set>
void checkNames(Set& set, const char* base, size_t size)
{
    int n = 0;
    for (typename Set::Iterator it = set.begin(); it.valid(); it.next(), n++) {
        const QORStringRef& k = it.key();
        check(k.data() >= base && k.data() + k.length() <= base + size, "name outside the input");
    }
    check(n == set.count(), "count disagrees with the entries");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const std::string original(reinterpret_cast<const char*>(data), size);
    QORCountingAllocator a;
    {
        std::string body = original;
        QORHTTPFormDataSet form(&a);
        QORBufferCursor c(&body[0], static_cast<int>(size));
        QORStatus st = QORHTTPParser::parsePostDataSet(&c, &form);
        check(c.current() >= body.data() && c.current() <= body.data() + size, "cursor out of range");
        check(st == qor_s_ok || st == qor_s_http_bad_post_data || st == qor_s_http_unexpected_end ||
                  st == qor_s_http_bad_request,
              "unexpected form status");
        for (size_t i = 0; i < size; i++)
            check(body[i] == original[i] || (original[i] == '+' && body[i] == ' '),
                  "form parsing changed more than plus signs");
        checkNames(form, body.data(), size);

        QORHTTPArgSet query(&a);
        QORStringRef url(original.data(), static_cast<int>(size));
        st = QORHTTPParser::parseQueryArgsSet(url, &query);
        check(st != qor_s_no_memory, "query ran out of memory");
        checkNames(query, original.data(), size);

        QORHTTPArgSet args(&a);
        QORBufferCursor ac(original.data(), static_cast<int>(size));
        check(QORHTTPParser::parseArgSet(&ac, &args) == qor_s_ok, "argument set failed");
        checkNames(args, original.data(), size);
        for (QORHTTPArgSet::Iterator it = args.begin(); it.valid(); it.next())
            check(original.find(it.value().c_str(), 0, static_cast<size_t>(it.value().length())) !=
                      std::string::npos,
                  "argument value not from the input");
        check(ac.remaining() == 0 || original.find('=', static_cast<size_t>(ac.current() - original.data())) ==
                                         std::string::npos,
              "argument set stopped before the last '='");
    }
    check(a.live() == 0, "a table leaked");
    return 0;
}
