// qortraceregistry.cpp: the registry of trace components.
#include "core/trace/qortraceregistry.h"

#include <cstdlib>
#include <new>

#include "core/msg/qormsg.h"
#include "core/svc/qorsvcroute.h"
#include "core/threads/qorthread.h"
#include "core/trace/qorsvclog.h"

QORTraceRegistry* QORTraceRegistry::m_instance = nullptr;
int QORTraceRegistry::m_initRefCount = 0;

QORTraceRegistry::QORTraceRegistry()
    : m_traces(nullptr, true)
{
}

QORTraceRegistry::~QORTraceRegistry()
{
    m_traces.delEntries();
    pthread_mutex_destroy(&m_mutex);
}

void QORTraceRegistry::initialize()
{
    if (m_initRefCount == 0 && m_instance == nullptr) {
        m_instance = new (std::nothrow) QORTraceRegistry;
        if (m_instance == nullptr)
            return;
        QORStatus st;
        dx_svc_register_callbacks(_debugSetLevelsNotify, &st);
        registerSvc(dx_svc_pic_handle);
    }
    if (m_instance != nullptr)
        m_initRefCount++;
}

void QORTraceRegistry::shutdown()
{
    if (m_initRefCount > 0)
        m_initRefCount--;
    if (m_initRefCount > 0 || m_instance == nullptr)
        return;
    QORStatus st;
    dx_svc_unregister_callbacks(_debugSetLevelsNotify, &st);
    delete m_instance;
    m_instance = nullptr;
}

QORList<QORTrace>::Iterator QORTraceRegistry::find(const QORTraceKey& key) const
{
    for (auto it = m_traces.begin(); it.isValid(); it.next()) {
        if (key.compare(*it.get()) == 0)
            return it;
    }
    return m_traces.end();
}

QORTrace* QORTraceRegistry::add(const char* name, unsigned level, QORLog* log)
{
    QORTraceRegistry* r = m_instance;
    if (r == nullptr)
        return nullptr;
    // Made before the lock is taken, so the lock covers only the list.
    QORTrace* created = qor_new<QORTrace>(nullptr, level, name, log);
    if (created == nullptr)
        return nullptr;
    QORTrace* result = created;
    {
        QORMutexLock lock(r->m_mutex);
        auto it = r->find(QORTraceKey(name));
        if (it.isValid())
            result = it.get();
        else if (r->m_traces.add(created) != qor_s_ok)
            result = nullptr;
    }
    if (result != created)
        qor_delete(created);
    return result;
}

QORTrace* QORTraceRegistry::add(const QORStringRef& name, unsigned level,
                                QORLog* log)
{
    const char* s = name.c_str();
    return s != nullptr ? add(s, level, log) : nullptr;
}

QORTrace* QORTraceRegistry::get(const char* name)
{
    QORTraceRegistry* r = m_instance;
    if (r == nullptr)
        return nullptr;
    QORMutexLock lock(r->m_mutex);
    return r->find(QORTraceKey(name)).get();
}

void QORTraceRegistry::remove(const char* name)
{
    QORTraceRegistry* r = m_instance;
    if (r == nullptr)
        return;
    QORTrace* trace;
    {
        QORMutexLock lock(r->m_mutex);
        auto it = r->find(QORTraceKey(name));
        trace = r->m_traces.remove(it);
    }
    qor_delete(trace);
}

void QORTraceRegistry::setLevel(unsigned level)
{
    QORTraceRegistry* r = m_instance;
    if (r == nullptr)
        return;
    QORMutexLock lock(r->m_mutex);
    for (QORTrace* trace : r->m_traces)
        trace->setLevel(level);
}

void QORTraceRegistry::setLevel(const char* name, unsigned level)
{
    QORTraceRegistry* r = m_instance;
    if (r == nullptr)
        return;
    QORMutexLock lock(r->m_mutex);
    QORTrace* trace = r->find(QORTraceKey(name)).get();
    if (trace != nullptr)
        trace->setLevel(level);
}

void QORTraceRegistry::registerSvc(dx_svc_handle_t handle)
{
    if (m_instance == nullptr || handle == nullptr || handle->table == nullptr)
        return;
    for (int i = 0; handle->table[i].sc_name != nullptr; i++) {
        const dx_svc_subcomp_t& row = handle->table[i];
        QORStatus st = qor_s_ok;
        char* name = dx_msg_get_msg_utf8(row.sc_descr_msgid, &st);
        if (name == nullptr || st != qor_s_ok) {
            free(name);
            continue;
        }
        unsigned level = handle->levels_filled
                             ? __atomic_load_n(&row.sc_level, __ATOMIC_RELAXED)
                             : dx_svc_debug_get_level(handle, i);
        QORTrace* trace = add(name, level, nullptr);
        free(name);
        if (trace == nullptr)
            continue;
        QORSvcLog* log = new (std::nothrow) QORSvcLog(handle, i);
        if (log != nullptr)
            trace->setLog(log, true);
    }
}

void QORTraceRegistry::_debugSetLevelsNotify(dx_svc_handle_t, int,
                                             uint32_t descrMsgId,
                                             unsigned level)
{
    if (m_instance == nullptr)
        return;
    QORStatus st = qor_s_ok;
    char* name = dx_msg_get_msg_utf8(descrMsgId, &st);
    if (name != nullptr && st == qor_s_ok)
        setLevel(name, level);
    free(name);
}
