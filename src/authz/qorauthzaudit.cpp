// qorauthzaudit.cpp: the audit lines and where they go.
#include "authz/qorauthzaudit.h"
#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>
#include <cstdio>

namespace {

void appendString(std::string* out, const char* name, const std::string& value, bool first = false)
{
    if (!first)
        *out += ',';
    *out += '"';
    *out += name;
    *out += "\":\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            *out += esc;
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

std::string isoTime(int64_t unixMicros)
{
    time_t secs = static_cast<time_t>(unixMicros / 1000000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    char text[80];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             static_cast<int>(unixMicros % 1000000 / 1000));
    return text;
}

} // namespace

const char* qor_authz_result_name(QORAuthzResult result)
{
    static const char* const kNames[kQORAuthzResults] = {"allowed", "login_required", "forbidden",
                                                         "throttled", "error"};
    return kNames[static_cast<int>(result)];
}

std::string qor_authz_audit_json(const QORAuthzAuditEvent& e)
{
    std::string line = "{";
    appendString(&line, "time", isoTime(e.unixMicros), true);
    appendString(&line, "vhost", e.vhost);
    appendString(&line, "client", e.client);
    appendString(&line, "method", e.method);
    appendString(&line, "path", e.path.substr(0, e.path.find('?')));
    appendString(&line, "user", e.user);
    appendString(&line, "outcome", qor_authz_result_name(e.result));
    appendString(&line, "object", e.object);
    line += ",\"latency_us\":" + std::to_string(e.latencyMicros) + "}";
    return line;
}

QORAuthzAuditLog::~QORAuthzAuditLog()
{
    closeTarget();
}

void QORAuthzAuditLog::closeTarget()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_syslog = false;
    m_on = false;
}

bool QORAuthzAuditLog::configure(const std::string& target)
{
    std::lock_guard<std::mutex> guard(m_lock);
    closeTarget();
    if (target.empty() || target == "off")
        return true;
    if (target == "syslog") {
        // The facility goes with each line: the process's own openlog
        // (the library's start-up) stays as it is.
        m_syslog = true;
        m_on = true;
        return true;
    }
    if (target.compare(0, 5, "file:") != 0)
        return false;
    m_fd = open(target.c_str() + 5, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    m_on = m_fd >= 0;
    return m_fd >= 0;
}

void QORAuthzAuditLog::write(const QORAuthzAuditEvent& event)
{
    std::string line = qor_authz_audit_json(event);
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_syslog)
        syslog(LOG_AUTHPRIV | LOG_INFO, "%s", line.c_str());
    if (m_fd < 0)
        return;
    line += '\n';
    if (::write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        (void)0;  // a full disk loses audit lines; the decision stands
}
