// qordecisioncache.h: QORDecisionCache, the plug-in's opt-in store of the
// authorization server's answers that let a protected request through, so
// that the same request again is decided without a question. QORCore owns
// one per process, switched on by the lifetime the server's configuration
// flags give (0, the default, keeps nothing).
//
// An entry is one answer, kept for an exact key: the virtual host and its
// security, the method, the path (only paths that need no normalising),
// the query, and a keyed hash (a per-process random key) of every
// Authorization and Cookie header value. Only an answer the server marked
// as cacheable is kept, and only when the answer itself lets the request
// through and changes nothing but request headers and the log user: never
// one that sets a cookie, builds a response, asks for a login or a body,
// nor the answer to a POST.
//
// Entries die at the lifetime the mark gave (at most the configured one),
// all of them when an answer names another run of the server or a higher
// generation, and when the configured lifetime changes. A kept answer is
// applied only while the server's decision board (msg/core/qordecisionboard.h)
// still names the run and generation it was kept under: a raise that
// another process heard of is seen here at the next request too. The store is
// bounded in entries and bytes; when a new entry does not fit, expired
// entries go first, then all.
//
// Thread-safe: lookups share a slot lock, changes hold it exclusively; a
// hit applies its answer outside the lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include "core/buffers/qorsiphash.h"
#include "core/threads/qorslotrwlock.h"
#include "msg/core/qordecisionboard.h"
#include "msg/core/qordecisionmark.h"
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "plugin/core/qordecisionrecorder.h"

class QORTransaction;

class QORDecisionCache {
public:
    // Seconds on a monotonic clock.
    typedef int64_t (*Clock)();
    static constexpr unsigned int kMaxEntries = 10000;
    static constexpr size_t kMaxBytes = 16u << 20;

    // A fresh random hash key; without random bytes the cache stays off.
    explicit QORDecisionCache(Clock clock = nullptr, unsigned int maxEntries = kMaxEntries,
                              size_t maxBytes = kMaxBytes);
    ~QORDecisionCache();
    QORDecisionCache(const QORDecisionCache&) = delete;
    QORDecisionCache& operator=(const QORDecisionCache&) = delete;

    // The server whose board to read (the path the adapter names it by).
    void setServerID(const char* serverID);
    // The lifetime the server allows; a change drops every entry. Maps the
    // board when it is not yet.
    void configure(unsigned int lifetime);
    // Tests show their own board.
    QORDecisionBoard& board() { return m_board; }
    bool enabled() const { return __atomic_load_n(&m_lifetime, __ATOMIC_ACQUIRE) != 0; }
    size_t entries() const;

    // One request's use of the cache. REQUIRES: the transaction has a
    // request and outlives the pass.
    class Pass : public QORDecisionRecorder {
    public:
        Pass(QORDecisionCache& cache, QORTransaction& trans);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        // Applies the answer kept for this request to the transaction, as
        // the server's answer was applied: true, with the transaction's
        // result set, when there was one. A kept answer that the adapter
        // cannot apply gives the result the same failure would have had.
        bool hit();
        // Hangs the pass on the transaction for the question about to go
        // out (when the request may be kept at all).
        void listen();
        // After the answer: learns its generation and keeps it when it may.
        // The transaction's result is the answer's.
        void answered();
        void markSeen(const QORStringRef& mark, const void* region, unsigned int start,
                      unsigned int size) override;

    private:
        QORDecisionCache& m_cache;
        QORTransaction& m_trans;
        std::string m_key;   // empty: the request is not one to keep
        bool m_seen = false;
        QORDecisionMark m_mark;
        std::unique_ptr<unsigned char[]> m_region;
        unsigned int m_start = 0;
        unsigned int m_size = 0;
    };

private:
    struct Entry {
        int64_t expires;
        uint64_t generation;
        unsigned int size;
        std::unique_ptr<unsigned char[]> bytes;
        QORDecodedAnswer answer;  // views into bytes
    };

    int64_t now() const;
    // The key of the transaction's request; empty when it is not one to keep.
    std::string keyOf(QORTransaction& trans) const;
    std::shared_ptr<const Entry> find(const std::string& key) const;
    // Adopts the run and generation of mark when they are news; whether an
    // answer carrying it may be kept.
    bool learn(const QORDecisionMark& mark);
    void keep(const std::string& key, const QORDecisionMark& mark,
              std::unique_ptr<unsigned char[]> bytes, unsigned int start, unsigned int size);
    // REQUIRES: the write lock.
    void dropAll();
    void dropExpired(int64_t now);

    Clock m_clock;
    const unsigned int m_maxEntries;
    const size_t m_maxBytes;
    bool m_keyed = false;
    uint8_t m_hashKey[QORSipHash::kKeySize] = {};
    unsigned int m_lifetime = 0;
    mutable QORSlotRWLock m_lock;
    // Under m_lock.
    std::string m_serverID;
    QORDecisionBoard m_board;
    bool m_haveRun = false;
    QORDecisionMark m_run;
    std::unordered_map<std::string, std::shared_ptr<const Entry>> m_entries;
    size_t m_bytes = 0;
};
