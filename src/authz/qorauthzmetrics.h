// qorauthzmetrics.h: QORAuthzMetrics, the figures dxqor-authzd counts as
// it answers (decisions by outcome, answer latency, credential-cache and
// session lookups, failed logins, reloads) and their Prometheus text
// exposition, with the gauges its owner reads at that moment (workers,
// cache and session sizes). docs/metrics.md lists them. Counting is a
// relaxed atomic add: any worker thread, no lock.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include "authz/qorauthzaudit.h"

// "HOST:PORT" with HOST 127.0.0.1 (any 127/8 address), localhost or [::1]
// and PORT 1 to 65535; false for anything else (metrics never leave the
// machine).
bool qor_authz_parse_loopback(const std::string& address, std::string* host, int* port);

class QORAuthzMetrics {
public:
    // Upper bounds of the latency buckets, in microseconds (then +Inf).
    static const int kBuckets = 14;
    static const int64_t kBucketMicros[kBuckets];

    // The figures read when the exposition is made.
    struct Gauges {
        int workers = 0;
        int workersBusy = 0;
        int questionsWaiting = 0;   // -1: unknown
        size_t credentials = 0;
        long sessions = 0;          // -1: unknown (kept in a shared store)
    };

    void decided(QORAuthzResult result, int64_t latencyMicros);
    void credentialLookup(bool hit) { add(hit ? m_credentialHits : m_credentialMisses); }
    void sessionLookup(bool hit) { add(hit ? m_sessionHits : m_sessionMisses); }
    void failedLogin() { add(m_failedLogins); }
    // A policy load: the first, or a reload; version is the cache version
    // in force afterwards.
    void loaded(bool succeeded, uint64_t version);
    // The last load succeeded.
    bool lastLoadSucceeded() const { return m_lastLoadOK.load(std::memory_order_relaxed); }

    std::string exposition(const Gauges& gauges) const;

private:
    static void add(std::atomic<uint64_t>& counter)
    {
        counter.fetch_add(1, std::memory_order_relaxed);
    }

    std::atomic<uint64_t> m_decisions[kQORAuthzResults] = {};
    std::atomic<uint64_t> m_buckets[kBuckets + 1] = {};
    std::atomic<uint64_t> m_latencySumMicros{0};
    std::atomic<uint64_t> m_credentialHits{0};
    std::atomic<uint64_t> m_credentialMisses{0};
    std::atomic<uint64_t> m_sessionHits{0};
    std::atomic<uint64_t> m_sessionMisses{0};
    std::atomic<uint64_t> m_failedLogins{0};
    std::atomic<uint64_t> m_reloadsOK{0};
    std::atomic<uint64_t> m_reloadsFailed{0};
    std::atomic<uint64_t> m_version{0};
    std::atomic<bool> m_lastLoadOK{false};
};
