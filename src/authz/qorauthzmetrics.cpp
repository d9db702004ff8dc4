// qorauthzmetrics.cpp: counting, and the text exposition format.
#include "authz/qorauthzmetrics.h"
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>

const int64_t QORAuthzMetrics::kBucketMicros[kBuckets] = {
    100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000,
};

namespace {

struct Text {
    std::string out;

    void head(const char* name, const char* type, const char* help)
    {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const char* name, const std::string& labels, uint64_t value)
    {
        out += name;
        if (!labels.empty())
            out += "{" + labels + "}";
        out += " " + std::to_string(value) + "\n";
    }
    void one(const char* name, const char* type, const char* help, uint64_t value)
    {
        head(name, type, help);
        sample(name, "", value);
    }
    void pair(const char* name, const char* help, const char* label, const char* a, uint64_t va,
              const char* b, uint64_t vb)
    {
        head(name, "counter", help);
        sample(name, std::string(label) + "=\"" + a + "\"", va);
        sample(name, std::string(label) + "=\"" + b + "\"", vb);
    }
};

uint64_t get(const std::atomic<uint64_t>& v)
{
    return v.load(std::memory_order_relaxed);
}

std::string seconds(int64_t micros)
{
    char text[32];
    snprintf(text, sizeof text, "%g", static_cast<double>(micros) / 1e6);
    return text;
}

} // namespace

bool qor_authz_parse_loopback(const std::string& address, std::string* host, int* port)
{
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 >= address.size())
        return false;
    std::string h = address.substr(0, colon);
    char* end = nullptr;
    long p = strtol(address.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || p < 1 || p > 65535)
        return false;
    struct in_addr v4;
    if (h == "localhost")
        h = "127.0.0.1";
    else if (h == "[::1]")
        h = "::1";
    else if (inet_pton(AF_INET, h.c_str(), &v4) != 1 || (ntohl(v4.s_addr) >> 24) != 127)
        return false;
    *host = h;
    *port = static_cast<int>(p);
    return true;
}

void QORAuthzMetrics::decided(QORAuthzResult result, int64_t latencyMicros)
{
    add(m_decisions[static_cast<int>(result)]);
    int b = 0;
    while (b < kBuckets && latencyMicros > kBucketMicros[b])
        ++b;
    add(m_buckets[b]);
    m_latencySumMicros.fetch_add(static_cast<uint64_t>(latencyMicros < 0 ? 0 : latencyMicros),
                                 std::memory_order_relaxed);
}

void QORAuthzMetrics::loaded(bool succeeded, uint64_t version)
{
    add(succeeded ? m_reloadsOK : m_reloadsFailed);
    m_lastLoadOK.store(succeeded, std::memory_order_relaxed);
    if (succeeded)
        m_version.store(version, std::memory_order_relaxed);
}

std::string QORAuthzMetrics::exposition(const Gauges& g) const
{
    Text t;
    t.head("dxqor_authz_decisions_total", "counter", "Web requests decided, by outcome.");
    for (int i = 0; i < kQORAuthzResults; ++i)
        t.sample("dxqor_authz_decisions_total",
                 std::string("outcome=\"") + qor_authz_result_name(static_cast<QORAuthzResult>(i))
                     + "\"",
                 get(m_decisions[i]));

    // Buckets are counted apart and summed up here: cumulative, as the
    // format wants, while each decision adds to one counter only.
    const char* h = "dxqor_authz_answer_seconds";
    t.head(h, "histogram", "Time from a web request question to its answer.");
    uint64_t cumulative = 0;
    for (int b = 0; b <= kBuckets; ++b) {
        cumulative += get(m_buckets[b]);
        std::string le = b < kBuckets ? seconds(kBucketMicros[b]) : "+Inf";
        t.sample("dxqor_authz_answer_seconds_bucket", "le=\"" + le + "\"", cumulative);
    }
    t.out += "dxqor_authz_answer_seconds_sum " + seconds(static_cast<int64_t>(get(m_latencySumMicros)))
             + "\n";
    t.sample("dxqor_authz_answer_seconds_count", "", cumulative);

    t.one("dxqor_authz_workers", "gauge", "Worker threads.", static_cast<uint64_t>(g.workers));
    t.one("dxqor_authz_workers_busy", "gauge", "Worker threads answering a question now.",
          static_cast<uint64_t>(g.workersBusy));
    if (g.questionsWaiting >= 0)
        t.one("dxqor_authz_questions_waiting", "gauge",
              "Web-server threads waiting for a free worker.",
              static_cast<uint64_t>(g.questionsWaiting));
    t.one("dxqor_authz_credential_cache_entries", "gauge", "Verified credentials remembered.",
          g.credentials);
    t.pair("dxqor_authz_credential_cache_lookups_total", "Credential-cache lookups.", "result",
           "hit", get(m_credentialHits), "miss", get(m_credentialMisses));
    if (g.sessions >= 0)
        t.one("dxqor_authz_sessions", "gauge", "Form-login sessions.",
              static_cast<uint64_t>(g.sessions));
    t.pair("dxqor_authz_session_lookups_total", "Session lookups by cookie.", "result", "hit",
           get(m_sessionHits), "miss", get(m_sessionMisses));
    t.one("dxqor_authz_failed_logins_total", "counter", "Logins with a wrong name or password.",
          get(m_failedLogins));
    t.pair("dxqor_authz_policy_loads_total", "Policy loads (the start and each reload).", "result",
           "success", get(m_reloadsOK), "failure", get(m_reloadsFailed));
    t.one("dxqor_authz_cache_version", "gauge", "The cache version of the policy in force.",
          get(m_version));
    t.one("dxqor_authz_last_load_success", "gauge", "1 when the last policy load succeeded.",
          lastLoadSucceeded() ? 1 : 0);
    return t.out;
}
