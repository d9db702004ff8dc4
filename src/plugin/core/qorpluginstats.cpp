// qorpluginstats.cpp: the counters.
#include "plugin/core/qorpluginstats.h"
#include <unistd.h>
#include <atomic>
#include <cstdio>

namespace {

std::atomic<unsigned long> g_figures[qor_fig_count];

} // namespace

void qor_plugin_figures(QORPluginFigures* out)
{
    for (int i = 0; i < qor_fig_count; ++i)
        out->value[i] = g_figures[i].load(std::memory_order_relaxed);
}

const char* qor_plugin_figure_name(int figure)
{
    static const char* const kNames[qor_fig_count] = {"unavailable_503", "answer_wait_expired",
                                                      "cache_hits", "questions",
                                                      "decision_cache_hits"};
    return figure >= 0 && figure < qor_fig_count ? kNames[figure] : "";
}

void qor_plugin_count(QORPluginFigure figure)
{
    if (figure >= 0 && figure < qor_fig_count)
        g_figures[figure].fetch_add(1, std::memory_order_relaxed);
}

int qor_plugin_figures_text(char* out, int size)
{
    QORPluginFigures f;
    qor_plugin_figures(&f);
    char text[256];
    int n = snprintf(text, sizeof text, "process %ld\n", static_cast<long>(getpid()));
    for (int i = 0; i < qor_fig_count && n < static_cast<int>(sizeof text); ++i)
        n += snprintf(text + n, sizeof text - static_cast<size_t>(n), "%s %lu\n",
                      qor_plugin_figure_name(i), f.value[i]);
    return size > 0 ? snprintf(out, static_cast<size_t>(size), "%s", text) : n;
}
