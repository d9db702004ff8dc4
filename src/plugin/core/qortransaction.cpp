// qortransaction.cpp: the parts of a transaction that are the same for every
// web server: result, retry flag, cache version, log formatting, redirects.
#include "plugin/core/qortransaction.h"

#include <cstdlib>
#include <cstring>
#include "core/msg/qormsg.h"
#include "core/sundry/qorsnprintf.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"

namespace {
// "XLTIC0640E   There is no message string for message code %#x."
const uint32_t kNoMessageString = QOR_MSG_ID(0x280);
}

QORTransaction::QORTransaction(QORAllocator* allocator)
    : m_allocator(allocator)
{
}

QORTransaction::~QORTransaction() = default;

QORStatus QORTransaction::logMessage(qor_log_levels_e level, int messageID, ...)
{
    va_list args;
    va_start(args, messageID);
    QORStatus st = vlogMessage(level, messageID, args);
    va_end(args);
    return st;
}

QORStatus QORTransaction::vlogMessage(qor_log_levels_e level, int messageID,
                                      va_list args)
{
    char line[kQORTransactionLogLineSize];
    QORStatus st = qor_s_ok;
    char* text = dx_msg_get_msg(static_cast<uint32_t>(messageID), &st);
    if (st == qor_s_ok && text != nullptr) {
        if (qor_vsnprintf_lcp(line, sizeof line, text, args) < 0)
            line[0] = 0;
        free(text);
        return logText(level, line);
    }
    free(text);

    text = dx_msg_get_msg(kNoMessageString, &st);
    if (st != qor_s_ok || text == nullptr) {
        free(text);
        return st != qor_s_ok ? st : qor_s_no_memory;
    }
    if (qor_snprintf_lcp(line, sizeof line, text, static_cast<unsigned>(messageID)) < 0)
        line[0] = 0;
    free(text);
    return logText(level, line);
}

void QORTransaction::setRetry(bool retry)
{
    m_retry = retry;
}

QORStatus QORTransaction::prepareForRetry()
{
    return qor_s_ok;
}

QORStatus QORTransaction::setResult(qor_proxy_rsp_code_e code)
{
    m_result = code;
    if (code == qor_send_default_rsp_to_client && m_response != nullptr)
        return m_response->setUseDefaultResponse(true);
    return qor_s_ok;
}

void QORTransaction::setURCVersion(const unsigned char* bytes)
{
    memcpy(&m_urcVersion, bytes, sizeof m_urcVersion);
    m_urcVersionSet = true;
}

QORStatus QORTransaction::buildRedirectURL(const QORStringRef& location, QORString* out)
{
    if (m_request == nullptr)
        return qor_s_not_available;
    QORStringRef base;
    QORStatus st = m_request->getFullURL(&base);
    if (st != qor_s_ok)
        return st;
    return QORHTTP::buildAbsoluteURL(base, location, out);
}
