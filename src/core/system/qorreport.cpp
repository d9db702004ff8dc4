// qorreport.cpp: the built-in message sink and the hook that replaces it.
#include "core/system/qorreport.h"

#include <atomic>
#include <cstdio>

namespace {

struct FallbackText {
    QORStatus id;
    const char* text;
};

// Only the messages the foundation emits itself; the serviceability layer
// owns the full table.
const FallbackText kTexts[] = {
    {qor_s_system_call_failed,
     "XLTIC0055E   The %s system routine failed: system error: %s "
     "(system error code: %d)."},
};

void builtinSink(const char* file, int line, int, QORStatus id, va_list args)
{
    for (const FallbackText& t : kTexts) {
        if (t.id == id) {
            vfprintf(stderr, t.text, args);
            fprintf(stderr, " [%s:%d]\n", file, line);
            return;
        }
    }
    fprintf(stderr, "message 0x%08x [%s:%d]\n", (unsigned)id, file, line);
}

std::atomic<qor_report_sink_t> g_sink{builtinSink};

} // namespace

extern "C" void qor_report_v(const char* file, int line, int subcomponent,
                             QORStatus id, va_list args)
{
    g_sink.load(std::memory_order_acquire)(file, line, subcomponent, id, args);
}

extern "C" void qor_report(const char* file, int line, QORStatus id, ...)
{
    va_list args;
    va_start(args, id);
    qor_report_v(file, line, 0, id, args);
    va_end(args);
}

extern "C" void qor_report_sub(const char* file, int line, int subcomponent,
                               QORStatus id, ...)
{
    va_list args;
    va_start(args, id);
    qor_report_v(file, line, subcomponent, id, args);
    va_end(args);
}

extern "C" qor_report_sink_t qor_report_set_sink(qor_report_sink_t sink)
{
    return g_sink.exchange(sink ? sink : builtinSink,
                           std::memory_order_acq_rel);
}
