// qortraceregistry.h: the process-wide registry of trace components, looked
// up by component name. The core initialises it at construction, which also
// makes one component per row of the product's serviceability sub-component
// table ("dxqor.general", "dxqor.http", ...) writing into that row's debug
// records and following its debug level. Other subsystems add or look up
// their own components.
//
// Every operation is static and acts on the one instance, so that a call
// made before initialize or after the last shutdown is harmless: it does
// nothing or returns null. instance() is there for callers that hold the
// registry as an object; QORTraceRegistry::instance()->add(...) is safe too.
#pragma once
#include <cstdint>
#include <cstring>
#include <pthread.h>
#include "core/list/qorlist.h"
#include "core/svc/qorsvc.h"
#include "core/trace/qortrace.h"

// A search key: a component name, compared with a trace's as by strcmp.
class QORTraceKey {
public:
    explicit QORTraceKey(const char* name)
        : m_name(name ? name : "")
    {
    }
    int compare(const QORTrace& trace) const
    {
        return strcmp(m_name, trace.getComponent());
    }
    const char* name() const { return m_name; }

private:
    const char* m_name;
};

class QORTraceRegistry {
public:
    // The first call creates the registry, subscribes it to debug-level
    // changes and registers the product's handle (registerSvc); every call
    // that finds (or made) a registry counts one reference. If the registry
    // cannot be made, it stays absent and no reference is counted.
    // REQUIRES: no other thread uses the registry meanwhile.
    static void initialize();
    // Drops one reference (never below none); the last one unsubscribes and
    // deletes the registry with every trace and every log a trace owns.
    // REQUIRES: no other thread uses the registry or its traces meanwhile.
    static void shutdown();
    static QORTraceRegistry* instance() { return m_instance; }

    // A new trace of that component name, or the existing one unchanged
    // (its own level and log) when the name is registered already. Null
    // without a registry or memory. The registry owns the trace.
    static QORTrace* add(const char* name, unsigned level, QORLog* log);
    static QORTrace* add(const QORStringRef& name, unsigned level, QORLog* log);
    // The trace of that component name, or null.
    static QORTrace* get(const char* name);
    // Unlinks and deletes the trace of that name, if any.
    // REQUIRES: no other thread still uses that trace.
    static void remove(const char* name);
    // Sets the level of every trace, or of the one named (if present).
    static void setLevel(unsigned level);
    static void setLevel(const char* name, unsigned level);

    // For each row of handle's sub-component table: the component named by
    // the row's description message (in UTF-8), at the row's current debug
    // level, writing through a QORSvcLog of that row which the trace owns.
    // Rows whose description has no text are skipped.
    static void registerSvc(dx_svc_handle_t handle);

    // The debug-level change callback: sets the level of the component
    // named by descrMsgId's text.
    static void _debugSetLevelsNotify(dx_svc_handle_t handle, int subcomponent,
                                      uint32_t descrMsgId, unsigned level);

    // The number of references initialize has counted.
    static int refCount() { return m_initRefCount; }

private:
    QORTraceRegistry();
    ~QORTraceRegistry();
    QORTraceRegistry(const QORTraceRegistry&) = delete;
    QORTraceRegistry& operator=(const QORTraceRegistry&) = delete;

    // REQUIRES: m_mutex held.
    QORList<QORTrace>::Iterator find(const QORTraceKey& key) const;

    QORList<QORTrace> m_traces;
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;

    static QORTraceRegistry* m_instance;
    static int m_initRefCount;
};
