// qorpluginstats.h: the plug-in's own figures, for the web server's status
// page: process-wide counters of what the library did in this process
// since it was loaded (every web-server process counts its own). Counting
// is one relaxed atomic add.
#pragma once
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN

enum QORPluginFigure {
    qor_fig_unavailable,           // 503s: the authorization server could not be used
    qor_fig_answer_wait_expired,   // questions whose answer did not come in time
    qor_fig_cache_hits,            // requests the unprotected-resource cache let through
    qor_fig_questions,             // web requests asked of the authorization server
    qor_fig_decision_cache_hits,   // protected requests a kept decision answered
    qor_fig_count
};

struct QORPluginFigures {
    unsigned long value[qor_fig_count];
};

// The figures of this process.
void qor_plugin_figures(QORPluginFigures* out);
// The name a status page shows a figure by: "unavailable_503",
// "answer_wait_expired", "cache_hits", "questions", "decision_cache_hits".
const char* qor_plugin_figure_name(int figure);
// The page both adapters show: "process PID" and then "name value", one
// line each. Writes at most size bytes, NUL included; returns the length
// of the whole text (as snprintf does).
int qor_plugin_figures_text(char* out, int size);
// Counts one. The library counts what it decides itself; an adapter counts
// the 503s it answers without the core (while the core is not attached).
void qor_plugin_count(QORPluginFigure figure);

QOR_EXPORT_END
