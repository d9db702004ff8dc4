// qorproxyifdispatcher.h: QORProxyIFDispatcher, the one way the plug-in asks
// the authorization server anything. dispatch() takes a free worker from the
// client worker pool, writes the question into its buffer, wakes the server,
// waits for the answer, builds the answer object with the factory registered
// for the answer's type, lets it read itself and gives the worker back. It
// also tells the caller when to send the question again: after the server
// recreated its IPC objects, or reset the worker while it was answering.
//
// The first initialize in the process creates the channel's caching
// allocators (element writers and readers, client worker buffers, error
// messages); the last shutdown destroys them, so every object taken from
// them must be gone by then.
#pragma once
#include "core/system/qorstatus.h"
#include "proxyif/ipc/qorchannellimits.h"

class QORClntWorkerPool;
class QORClntWorkerBuffer;
class QORLog;
class QORProxyIFMessage;
class QORProxyIFMsgFactory;

enum : QORStatusCode {
    qor_s_pif_not_initialized     = QOR_MSG_ID(0x200), // XLTIC0512E
    qor_s_pif_no_factory          = QOR_MSG_ID(0x201), // XLTIC0513E
    qor_s_pif_already_initialized = QOR_MSG_ID(0x204), // XLTIC0516E
};

class QORProxyIFDispatcher {
public:
    // Room added to the factory array when it is full.
    static const int kFactoryGrowBy = 5;

    QORProxyIFDispatcher() = default;
    QORProxyIFDispatcher(const QORProxyIFDispatcher&) = delete;
    QORProxyIFDispatcher& operator=(const QORProxyIFDispatcher&) = delete;
    // Shuts down when still initialised.
    virtual ~QORProxyIFDispatcher();

    // Sets up the interface's trace component on log, the caching
    // allocators and the client worker pool of the server named (a path),
    // and registers the error message factory. Any failure, and a second
    // call (0x35f02204), shuts the dispatcher down before returning.
    // limits bound the waits of every dispatch (none by default).
    QORStatus initialize(QORLog* log, const char* serverName,
                         const QORChannelLimits& limits = QORChannelLimits());
    // The limits given to initialize (none when not initialised).
    const QORChannelLimits& limits() const;
    // Bytes a question may take in a worker buffer (0 when not attached);
    // for log lines.
    unsigned int questionRoom() const;
    // The dispatcher owns the factory from now on and deletes it at
    // shutdown (create it with new, or `new (allocator)` when its class is
    // QORAllocated); its type is asked once, here. 0x35f02200 before
    // initialize, 0x35f0200c when the array could not grow; the caller
    // keeps the factory then.
    // REQUIRES: no dispatch runs meanwhile.
    QORStatus registerProxyMsgFactory(QORProxyIFMsgFactory* factory);
    // The first registered factory for type, or null.
    QORProxyIFMsgFactory* lookupFactory(int type) const;
    // Sends question and waits for the answer, without a time limit unless
    // the answer-wait limit is set: then no worker free in time gives
    // 0x35f02223, and no answer in time 0x35f02222 (the worker is
    // abandoned, never reused for another question while its answer may
    // still come). A question that does not fit the worker buffer gives
    // 0x35f02224. On success *answer is the answer the server chose (of
    // the type the question asks for, or a QORErrorMessage carrying the
    // server's failure), to be released with deleteMe(); it may be null
    // when the worker was reset. *shouldRetry tells whether to send the
    // question again: it is true with 0x35f0220a when the server's objects
    // were looked up again, and with 0 when the server reset the worker.
    // Thread-safe.
    QORStatus dispatch(QORProxyIFMessage& question, QORProxyIFMessage** answer,
                       void* context, bool* shouldRetry);
    // Deletes the factories, ends the pool and gives up this dispatcher's
    // hold on the caching allocators.
    // REQUIRES: no dispatch runs meanwhile.
    void shutdown();

    bool isInitialized() const { return m_initialized; }

private:
    // One question and its answer on a worker that this thread holds.
    QORStatus exchange(QORClntWorkerBuffer& worker, QORProxyIFMessage& question,
                       QORProxyIFMessage** answer, void* context);

    QORClntWorkerPool* m_pool = nullptr;
    // A factory with its type, asked once at registration: every answer
    // looks its factory up.
    struct Factory {
        int type;
        QORProxyIFMsgFactory* factory;
    };

    Factory* m_factories = nullptr;
    int m_factoryCount = 0;
    int m_factoryCapacity = 0;
    bool m_initialized = false;
    bool m_holdsAllocators = false;
};
