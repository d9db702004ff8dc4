// qorthreadkey.h: QORThreadKey, a thread-specific data key made on first use,
// once per process. The trace layer keeps each thread's request context and
// routine nesting in one. A key that could not be made (reported once), or
// that was removed at shutdown, stays unavailable: get() gives null and
// set() does nothing.
#pragma once
#include <pthread.h>
#include <atomic>
#include <mutex>

class QORThreadKey {
public:
    // destructor runs on a thread's non-null value when the thread ends.
    explicit constexpr QORThreadKey(void (*destructor)(void*) = nullptr)
        : m_destructor(destructor)
    {
    }
    QORThreadKey(const QORThreadKey&) = delete;
    QORThreadKey& operator=(const QORThreadKey&) = delete;

    bool ready();
    void* get();
    bool set(void* value);
    // Deletes the key for good and returns the calling thread's value (null
    // when none or the key was never made), for the caller to free.
    void* remove();

private:
    enum { kNone, kReady, kUnavailable };

    void create();

    void (*m_destructor)(void*);
    std::once_flag m_once;
    std::atomic<int> m_state{kNone};
    pthread_key_t m_key{};
};
