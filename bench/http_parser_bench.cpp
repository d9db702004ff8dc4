// http_parser_bench: request line and header block throughput of
// QORHTTPParser against the C parser of libhttp-parser on the same bytes,
// in the same run. The corpus is bench/http_requests.txt: browser requests
// separated by an empty line, read with LF line ends and sent with CR LF.
// Prints MB/s for both and their ratio; asserts nothing about time.
#include <benchmark/benchmark.h>
#include <http_parser.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>
#include "core/http/qorhttpparser.h"

namespace {

std::vector<std::string> g_requests;
size_t g_bytes = 0;

std::string corpusPath()
{
    if (const char* env = getenv("DXQOR_HTTP_CORPUS"))
        return env;
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/') + 1) + "http_requests.txt";
}

bool loadCorpus()
{
    std::ifstream in(corpusPath());
    if (!in)
        return false;
    std::string line, request;
    while (std::getline(in, line)) {
        request += line + "\r\n";
        if (line.empty()) {
            if (request.size() > 2)
                g_requests.push_back(request);
            request.clear();
        }
    }
    if (request.size() > 2)
        g_requests.push_back(request + "\r\n");
    for (const std::string& r : g_requests)
        g_bytes += r.size();
    return !g_requests.empty();
}

// What one parse leaves for its caller: the request line and header views.
struct Parsed {
    const char* url;
    size_t urlLen;
    struct {
        const char* p;
        size_t n;
    } fields[64], values[64];
    int headers;
};

int onUrl(http_parser* p, const char* at, size_t n)
{
    Parsed* r = static_cast<Parsed*>(p->data);
    r->url = at;
    r->urlLen = n;
    return 0;
}

int onField(http_parser* p, const char* at, size_t n)
{
    Parsed* r = static_cast<Parsed*>(p->data);
    if (r->headers < 64)
        r->fields[r->headers] = {at, n};
    return 0;
}

int onValue(http_parser* p, const char* at, size_t n)
{
    Parsed* r = static_cast<Parsed*>(p->data);
    if (r->headers < 64)
        r->values[r->headers] = {at, n};
    r->headers++;
    return 0;
}

// Headers only: the body (if any) is not part of what is measured.
int onHeadersComplete(http_parser*)
{
    return 1;
}

http_parser_settings settings()
{
    http_parser_settings s;
    http_parser_settings_init(&s);
    s.on_url = onUrl;
    s.on_header_field = onField;
    s.on_header_value = onValue;
    s.on_headers_complete = onHeadersComplete;
    return s;
}

// Returns the headers found, or -1 when the request did not parse whole.
int parseWithQOR(const std::string& r, QORHTTPHeaderSet* headers)
{
    QORBufferCursor c(r.data(), static_cast<int>(r.size()));
    QORHTTPMethod method;
    QORStringRefT<char> text, uri, version;
    if (QORHTTPParser::parseRequestLine(&c, &method, &text, &uri, &version) != qor_s_ok &&
        method != qor_method_unrecognized)
        return -1;
    headers->clear();
    if (QORHTTPParser::parseHeaderSet(&c, headers) != qor_s_ok)
        return -1;
    if (!QORHTTPParser::wasteTerminator(&c) || c.remaining() != 0)
        return -1;
    return headers->count();
}

int parseWithHttpParser(const std::string& r, const http_parser_settings& s, Parsed* out)
{
    http_parser p;
    http_parser_init(&p, HTTP_REQUEST);
    p.data = out;
    out->headers = 0;
    size_t n = http_parser_execute(&p, &s, r.data(), r.size());
    if (n != r.size() || HTTP_PARSER_ERRNO(&p) != HPE_OK)
        return -1;
    return out->headers;
}

void BM_QORHTTPParser(benchmark::State& state)
{
    QORHTTPHeaderSet headers;
    for (auto _ : state) {
        for (const std::string& r : g_requests) {
            int n = parseWithQOR(r, &headers);
            benchmark::DoNotOptimize(n);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
    state.counters["requests"] = static_cast<double>(g_requests.size());
}
BENCHMARK(BM_QORHTTPParser);

void BM_LibHttpParser(benchmark::State& state)
{
    http_parser_settings s = settings();
    Parsed parsed;
    for (auto _ : state) {
        for (const std::string& r : g_requests) {
            int n = parseWithHttpParser(r, s, &parsed);
            benchmark::DoNotOptimize(n);
            benchmark::DoNotOptimize(parsed);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
    state.counters["requests"] = static_cast<double>(g_requests.size());
}
BENCHMARK(BM_LibHttpParser);

// Prints the usual table, then the throughput ratio of the two parsers.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            double mbs = r.counters.count("bytes_per_second")
                             ? static_cast<double>(r.counters.at("bytes_per_second")) / 1e6
                             : 0;
            if (r.benchmark_name().find("QORHTTPParser") != std::string::npos)
                m_qor = mbs;
            else if (r.benchmark_name().find("LibHttpParser") != std::string::npos)
                m_lib = mbs;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        if (m_qor > 0 && m_lib > 0)
            printf("request line + headers: QORHTTPParser %.1f MB/s, libhttp-parser "
                   "%.1f MB/s, ratio %.2f\n",
                   m_qor, m_lib, m_qor / m_lib);
    }

private:
    double m_qor = 0;
    double m_lib = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (!loadCorpus()) {
        fprintf(stderr, "cannot read the request corpus %s\n", corpusPath().c_str());
        return 1;
    }
    // Both parsers must accept every request and find the same headers,
    // or the figures compare different work.
    QORHTTPHeaderSet headers;
    http_parser_settings s = settings();
    Parsed parsed;
    for (size_t i = 0; i < g_requests.size(); i++) {
        int ours = parseWithQOR(g_requests[i], &headers);
        int theirs = parseWithHttpParser(g_requests[i], s, &parsed);
        if (ours < 8 || ours != theirs) {
            fprintf(stderr, "request %zu: %d headers here, %d in libhttp-parser\n", i, ours,
                    theirs);
            return 1;
        }
    }
    printf("corpus: %zu requests, %zu bytes\n", g_requests.size(), g_bytes);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
