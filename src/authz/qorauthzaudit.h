// qorauthzaudit.h: the audit trail of dxqor-authzd: one JSON line per
// decided web request (when, virtual host, client address, method, path,
// user, outcome, the object that decided, how long it took), appended to a
// file or sent to syslog. Nothing that could sign someone in is written:
// no credentials, no cookies, no query string.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// What a decision came to, as the audit trail and the metrics name it.
enum class QORAuthzResult { allowed, login_required, forbidden, throttled, error };
const int kQORAuthzResults = 5;
// "allowed", "login_required", "forbidden", "throttled", "error".
const char* qor_authz_result_name(QORAuthzResult result);

struct QORAuthzAuditEvent {
    int64_t unixMicros = 0;
    std::string vhost;
    std::string client;
    std::string method;
    std::string path;      // anything from a '?' on is dropped
    std::string user;      // verified users only; empty otherwise
    QORAuthzResult result = QORAuthzResult::error;
    std::string object;    // empty when no object was looked up
    int64_t latencyMicros = 0;
};

// The event as one JSON object without a line end. Bytes outside printable
// ASCII, quotes and backslashes are escaped, so that a line can neither
// break nor forge another.
std::string qor_authz_audit_json(const QORAuthzAuditEvent& event);

class QORAuthzAuditLog {
public:
    QORAuthzAuditLog() = default;
    ~QORAuthzAuditLog();
    QORAuthzAuditLog(const QORAuthzAuditLog&) = delete;
    QORAuthzAuditLog& operator=(const QORAuthzAuditLog&) = delete;

    // Where lines go: "" or "off" (nowhere), "syslog" (facility authpriv),
    // or "file:PATH" (appended). A file is opened again on every call, so
    // that a reload after log rotation starts the new file. False (and the
    // log off) when the file cannot be opened.
    bool configure(const std::string& target);
    bool enabled() const { return m_on.load(std::memory_order_relaxed); }
    // Safe from any number of threads; each line is one write.
    void write(const QORAuthzAuditEvent& event);

private:
    void closeTarget();

    std::mutex m_lock;
    int m_fd = -1;
    bool m_syslog = false;
    std::atomic<bool> m_on{false};
};
