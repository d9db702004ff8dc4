// qorauthzmetricshttp.h: QORAuthzMetricsHTTP, the loopback HTTP endpoint of
// dxqor-authzd for monitoring (libmicrohttpd, one thread of its own):
// GET /metrics answers the Prometheus text exposition, GET /healthz 200
// while the server is healthy and 503 otherwise. Nothing else is served.
#pragma once
#include <functional>
#include <string>
#include "core/system/qorstatus.h"

struct MHD_Daemon;

// What the pages show. Both are called on the endpoint's thread.
struct QORAuthzMonitorPages {
    std::function<std::string()> metrics;
    std::function<bool()> healthy;
};

class QORAuthzMetricsHTTP {
public:
    QORAuthzMetricsHTTP() = default;
    ~QORAuthzMetricsHTTP() { stop(); }
    QORAuthzMetricsHTTP(const QORAuthzMetricsHTTP&) = delete;
    QORAuthzMetricsHTTP& operator=(const QORAuthzMetricsHTTP&) = delete;

    // Listens on host ("127.0.0.1"-style or "::1") and port; what pages
    // uses must stay valid until stop. qor_s_system_call_failed when it
    // cannot listen.
    QORStatus start(const std::string& host, int port, QORAuthzMonitorPages pages);
    // Waits for a running answer to end. Safe to call again.
    void stop();

private:
    MHD_Daemon* m_daemon = nullptr;
    QORAuthzMonitorPages m_pages;
};
