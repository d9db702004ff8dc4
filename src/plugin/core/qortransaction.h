// qortransaction.h: QORTransaction, the core's view of one web transaction.
// The web-server adapter derives from it (it must write log lines) and sets
// the request and response before handing it to the core; the core, the
// question marshaller and the answer unmarshaller work only through it.
// The order of the virtual operations is part of the adapter contract.
#pragma once
#include <cstdarg>
#include "core/buffers/qorstring.h"
#include "core/memory/qorallocator.h"
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"
#include "core/system/qorproxyrspcode.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORDecisionRecorder;
class QORRequest;
class QORResponse;

// The adapter's log level. The library logs only errors, at level 0.
enum qor_log_levels_e {
    qor_log_level_error = 0,
    qor_log_level_warning = 1,
    qor_log_level_info = 2,
};

// Size of the line logMessage formats; longer messages are cut.
static const int kQORTransactionLogLineSize = 200;

class QORTransaction {
public:
    // All members zero or null except the allocator.
    explicit QORTransaction(QORAllocator* allocator);
    QORTransaction(const QORTransaction&) = delete;
    QORTransaction& operator=(const QORTransaction&) = delete;
    virtual ~QORTransaction();

    // Formats the catalogue text of messageID with the arguments (local code
    // page, cut to 200 bytes) and hands the line to logText. A message
    // without catalogue text logs "XLTIC0640E" naming the number instead.
    virtual QORStatus logMessage(qor_log_levels_e level, int messageID, ...);
    // Writes one finished line to the web server's log.
    virtual QORStatus logText(qor_log_levels_e level, const char* text) = 0;
    virtual void setRetry(bool retry);
    // The adapter's hook to reset per-attempt state before the question is
    // sent again. The default does nothing and returns 0.
    virtual QORStatus prepareForRetry();

    bool shouldRetry() const { return m_retry; }
    // Stores the code; qor_send_default_rsp_to_client also tells the
    // response to use the default response. Returns 0.
    QORStatus setResult(qor_proxy_rsp_code_e code);
    qor_proxy_rsp_code_e getResult() const { return m_result; }

    QORAllocator* allocator() const { return m_allocator; }

    // The unprotected-resource cache version an answer carried, or null.
    const QOREpochVersion* getURCVersion() const
    {
        return m_urcVersionSet ? &m_urcVersion : nullptr;
    }
    // Copies 20 bytes (a QOREpochVersion as it lies in memory).
    void setURCVersion(const unsigned char* bytes);

    // location resolved against the request's full URL.
    QORStatus buildRedirectURL(const QORStringRef& location, QORString* out);

    // The allocator's operations on m_allocator.
    void* allocate(unsigned size) { return QORAllocator::allocate(m_allocator, size); }
    void deallocate(void* p) { QORAllocator::deallocate(m_allocator, p); }
    void* duplicate(const void* p, unsigned size)
    {
        return QORAllocator::duplicate(m_allocator, p, size);
    }
    void* reallocate(void* p, unsigned oldSize, unsigned newSize)
    {
        return QORAllocator::reallocate(m_allocator, p, oldSize, newSize);
    }

    // Set by the adapter before any core call; not owned.
    QORRequest* m_request = nullptr;
    QORResponse* m_response = nullptr;
    // Set by the core while a question is out whose answer it may keep
    // (plugin/core/qordecisionrecorder.h); not owned.
    QORDecisionRecorder* m_decisionRecorder = nullptr;
    // Set by QORCore::decideLocally when the caches that are on could not
    // decide the request: handleReq then asks without looking again.
    bool m_localMiss = false;

protected:
    // logMessage's work, for subclasses that override logMessage to watch
    // it and still want the line written.
    QORStatus vlogMessage(qor_log_levels_e level, int messageID, va_list args);

private:
    qor_proxy_rsp_code_e m_result = qor_severe_error;
    bool m_retry = false;
    QORAllocator* m_allocator;
    bool m_urcVersionSet = false;
    QOREpochVersion m_urcVersion = {};
};

QOR_EXPORT_END
