// qorsvclog.h: QORSvcLog, a log sink that turns trace lines into debug
// records of one sub-component of a serviceability handle, so that they
// follow that component's debug routes and levels. The trace registry gives
// one to each trace component of the product's sub-component table.
#pragma once
#include "core/svc/qorsvc.h"
#include "core/trace/qorlog.h"

class QORSvcLog : public QORLog {
public:
    // handle stays the serviceability layer's; subcomponent is a row of its
    // table.
    QORSvcLog(dx_svc_handle_t handle, int subcomponent);

    dx_svc_handle_t handle() const { return m_handle; }
    int subcomponent() const { return m_subcomponent; }

    // Trace lines only (severity 3 + d) become debug records of level d,
    // when the row's current level admits d; other severities are ignored.
    void logImpl(QORLogSeverity severity, const char* file, unsigned line,
                 const char* component, const QORStringRefT<char>& text) override;

private:
    dx_svc_handle_t m_handle;
    int m_subcomponent;
};
