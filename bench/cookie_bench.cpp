// cookie_bench: a browser's Cookie header of 10 cookies parsed and written
// back unchanged, the work a request does when its cookies are read but not
// changed; and the same with one value changed, which renders from fields.
#include <benchmark/benchmark.h>

#include <cstring>

#include "core/http/qorcookie.h"

namespace {

const char kHeader[] =
    "_ga=GA1.2.1234567890.1600000000; _gid=GA1.2.987654321.1600000000; "
    "session=eyJ1c2VyIjoiYWxpY2UiLCJyb2xlIjoiYWRtaW4ifQ; theme=dark; lang=en-GB; "
    "csrftoken=4f1c2a9be07d4c1f8a3e5b6d7c8e9f01; cart=%7B%22items%22%3A3%7D; "
    "consent=yes; tz=Europe%2FLondon; seen_banner=1";

void BM_ReqCookieSet_ParseRenderUnchanged(benchmark::State& state)
{
    char out[sizeof kHeader + 64];
    QORStringRef header(kHeader, static_cast<int>(sizeof kHeader - 1));
    for (auto _ : state) {
        QORReqCookieSet set(header);
        int len;
        if (set.getLen(&len) != qor_s_ok || set.getHeaderValue(out) != qor_s_ok ||
            len != header.length() || memcmp(out, kHeader, sizeof kHeader - 1) != 0) {
            state.SkipWithError("the header did not come back unchanged");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof kHeader - 1));
}
BENCHMARK(BM_ReqCookieSet_ParseRenderUnchanged);

void BM_ReqCookieSet_ParseChangeOneRender(benchmark::State& state)
{
    char out[sizeof kHeader + 64];
    QORStringRef header(kHeader, static_cast<int>(sizeof kHeader - 1));
    QORStringRef name("theme");
    QORStringRef value("light");
    for (auto _ : state) {
        QORReqCookieSet set(header);
        auto it = set.beginName(name);
        int len;
        if (it == set.end() || it->setValue(value) != qor_s_ok ||
            set.getLen(&len) != qor_s_ok || set.getHeaderValue(out) != qor_s_ok) {
            state.SkipWithError("changing one cookie failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ReqCookieSet_ParseChangeOneRender);

} // namespace

BENCHMARK_MAIN();
