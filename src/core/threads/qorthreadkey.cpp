// qorthreadkey.cpp: QORThreadKey.
#include "core/threads/qorthreadkey.h"

#include "core/system/qorreport.h"
#include "core/system/qorsyserr.h"

void QORThreadKey::create()
{
    if (m_state.load() != kNone)
        return;
    int rc = pthread_key_create(&m_key, m_destructor);
    if (rc != 0) {
        char text[256];
        QOR_REPORT(qor_s_system_call_failed, "pthread_key_create",
                   qor_sys_strerror(rc, text, sizeof text), rc);
        m_state.store(kUnavailable);
        return;
    }
    m_state.store(kReady, std::memory_order_release);
}

bool QORThreadKey::ready()
{
    std::call_once(m_once, [this] { create(); });
    return m_state.load(std::memory_order_acquire) == kReady;
}

void* QORThreadKey::get()
{
    return ready() ? pthread_getspecific(m_key) : nullptr;
}

bool QORThreadKey::set(void* value)
{
    return ready() && pthread_setspecific(m_key, value) == 0;
}

void* QORThreadKey::remove()
{
    std::call_once(m_once, [this] { m_state.store(kUnavailable); });
    if (m_state.exchange(kUnavailable) != kReady)
        return nullptr;
    void* value = pthread_getspecific(m_key);
    pthread_key_delete(m_key);
    return value;
}
