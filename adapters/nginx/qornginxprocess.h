// qornginxprocess.h: what one nginx worker process holds: its QORCore,
// attached to the authorization server from the worker's threads when the
// worker starts and retried on a timer while that fails.
#pragma once
#include <memory>
#include <string>

#include "ngx_http_dxqor_module.h"
#include "plugin/core/qoradapter.h"
#include "qornginxthreads.h"

namespace qor_nginx {

// The core's log: error lines into nginx's error log, from any thread
// (nginx writes a line with one write()).
class QORNginxLog : public QORLog {
public:
    QORNginxLog() : QORLog(true) {}
    void logImpl(QORLogSeverity severity, const char*, unsigned, const char* component,
                 const QORStringRefT<char>& text) override
    {
        ngx_uint_t level = severity == qor_log_error     ? NGX_LOG_ERR
                           : severity == qor_log_warning ? NGX_LOG_WARN
                                                         : NGX_LOG_INFO;
        ngx_log_error(level, ngx_cycle->log, 0, "dxqor: %s: %*s", component,
                      static_cast<size_t>(text.length()), text.data());
    }
};

// What a worker process holds. initialized is read and written on the
// event loop only, so no core call overlaps initialize(). init_retry is in
// seconds, like mod_dxqor's DxqorInitRetryInterval.
struct QORNginxProcess {
    ngx_http_dxqor_main_conf_t* conf = nullptr;
    std::unique_ptr<QORCore> core;
    QORNginxLog log;
    bool initialized = false;
    bool initializing = false;
    QORStatus initStatus = qor_s_ok;
    ngx_event_t retry;
    QORNginxTask initTask;
    std::string serverID;
    // Declared last: stopped first, while what its tasks use is alive.
    QORNginxThreads threads;
};

// The worker's; null where dxqor_server_id is not set.
extern QORNginxProcess* g_process;

} // namespace qor_nginx
