// qortestreports.h: the administrator messages reported while an object of
// it lives, with their leading string inserts, for tests of what a
// component reports. One at a time: the report sink is process-wide.
#pragma once
#include <cstdarg>
#include <string>
#include <vector>
#include "core/system/qorreport.h"

struct QORTestReport {
    QORStatus id;
    int subcomponent;
    std::vector<std::string> args;
};

class QORTestReports {
public:
    // inserts(id): how many leading inserts of message id are strings that
    // the test reads (a message's inserts cannot be told from its id alone).
    explicit QORTestReports(int (*inserts)(QORStatus))
    {
        s_inserts = inserts;
        s_reports.clear();
        m_previous = qor_report_set_sink(record);
    }
    ~QORTestReports() { qor_report_set_sink(m_previous); }
    QORTestReports(const QORTestReports&) = delete;
    QORTestReports& operator=(const QORTestReports&) = delete;

    std::vector<QORTestReport>& all() const { return s_reports; }

private:
    static void record(const char*, int, int subcomponent, QORStatus id, va_list args)
    {
        QORTestReport r{id, subcomponent, {}};
        for (int i = s_inserts(id); i > 0; i--)
            r.args.emplace_back(va_arg(args, const char*));
        s_reports.push_back(r);
    }

    static inline std::vector<QORTestReport> s_reports;
    static inline int (*s_inserts)(QORStatus) = nullptr;
    qor_report_sink_t m_previous;
};
