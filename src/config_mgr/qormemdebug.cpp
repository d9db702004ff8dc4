// qormemdebug.cpp: the memory-debugging configuration and the flag
// provider it installs.
#include "config_mgr/qormemdebug.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include "config_mgr/qorconfigdata.h"
#include "config_mgr/qorconfigentriesschema.h"
#include "config_mgr/qorconfigschemaentry.h"
#include "core/list/qorsearchablelist.h"
#include "core/memory/qorblockallocator.h"
#include "core/memory/qormemtypeflags.h"
#include "core/msg/qormsg.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"
#include "core/threads/qorthread.h"
#include "core/trace/qortraceregistry.h"

namespace {

const QORStatus kDebuggingEnabled = 0x35f02f9a;   // "Memory Debugging Enabled"
const QORStatus kTypeAndText = 0x35f02f9b;        // "%s: %s"
const QORStatus kStatisticsEnabled = 0x35f02f9c;  // "Memory Statistics Enabled"

const char kStanza[] = "debug";
const char kComponent[] = "dxqor.memory";

// The schema's entries, in the order they are loaded.
enum { kMemoryOn, kMemoryOff, kMemoryStats, kStatsPeriod, kEntryCount };
const char* const kEntryNames[kEntryCount] = {
    "memory-on", "memory-off", "memory-stats", "memory-stats-period"};
const char* const kEntryDefaults[kEntryCount] = {nullptr, nullptr, "false",
                                                 nullptr};

// Names searched by view; a repeated name is harmless.
typedef QORSearchableList<QORString, QORStringRef> NameSet;

// The configuration in force and the types already announced. One mutex
// guards it all: flags() runs only when an allocator is initialised.
struct State {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    bool configured = false;
    bool stats = false;
    NameSet on{nullptr, true};
    NameSet off{nullptr, true};
    NameSet guardAnnounced{nullptr, true};
    NameSet statsAnnounced{nullptr, true};
};

State g_state;

// Adds each value of a multi-valued entry to set, blanks around it removed.
QORStatus addNames(QORConfigMVString& values, NameSet* set)
{
    values.resetIterator();
    QORStringRef value;
    while (values.next(&value)) {
        const char* text = value.data();
        int length = value.length();
        while (length > 0 && text[length - 1] == ' ')
            length--;
        while (length > 0 && *text == ' ') {
            text++;
            length--;
        }
        if (length == 0)
            continue;
        // The list owns its entries and deletes them with qor_delete.
        QORString* name = qor_new<QORString>(nullptr, text, length);
        if (name == nullptr || name->length() != length) {
            qor_delete(name);
            return qor_s_no_memory;
        }
        if (set->add(name) != qor_s_ok) {
            qor_delete(name);
            return qor_s_no_memory;
        }
    }
    return qor_s_ok;
}

// Whether set holds name or one of its dotted prefixes.
bool namesTypeOrParent(const NameSet& set, const char* name)
{
    int length = int(strlen(name));
    while (length > 0) {
        if (set.find(QORStringRef(name, length)).isValid())
            return true;
        while (length > 0 && name[length - 1] != '.')
            length--;
        length--;   // the dot itself
    }
    return false;
}

// Reports "<type>: <text of id>" once per type and mode.
void announce(NameSet* announced, const char* type, QORStatus id)
{
    if (announced->find(QORStringRef(type)).isValid())
        return;
    QORString* name = qor_new<QORString>(nullptr, type);
    if (name != nullptr && announced->add(name) != qor_s_ok)
        qor_delete(name);
    QORStatus st;
    char* text = dx_msg_get_msg(id, &st);
    if (text == nullptr)
        return;
    QOR_REPORT_SUB(qor_svc_memory_types, kTypeAndText, type, text);
    free(text);
}

unsigned provider(unsigned memoryType)
{
    return QORMemDebug::flags(memoryType);
}

void clearState()
{
    g_state.configured = false;
    g_state.stats = false;
    g_state.on.delEntries();
    g_state.off.delEntries();
    g_state.guardAnnounced.delEntries();
    g_state.statsAnnounced.delEntries();
}

} // namespace

QORStatus QORMemDebug::initialize(QORConfigMgr* config)
{
    QORConfigEntriesSchema* schema = new (std::nothrow) QORConfigEntriesSchema("QORMemDebug");
    if (schema == nullptr)
        return qor_s_no_memory;
    for (int i = 0; i < kEntryCount; i++) {
        QORConfigSchemaEntry* entry = new (std::nothrow) QORConfigSchemaEntry();
        QORStatus st = entry == nullptr ? qor_s_no_memory
                                        : entry->set(kStanza, kEntryNames[i], false,
                                                     kEntryDefaults[i]);
        if (st == qor_s_ok)
            st = schema->addEntry(entry);
        else
            delete entry;
        if (st != qor_s_ok) {
            delete schema;
            return st;
        }
    }
    int id;
    QORStatus st = config->registerSchema(schema, &id, false);
    if (st != qor_s_ok)
        return st;   // the manager deleted the schema

    QORConfigMVString on;
    QORConfigMVString off;
    QORConfigBoolean stats;
    QORConfigInt period;
    QORConfigData* data[kEntryCount] = {&on, &off, &stats, &period};
    for (int i = 0; i < kEntryCount; i++) {
        st = schema->loadData(data[i], i);
        if (st != qor_s_ok)
            return st;
    }

    QORTrace* trace = QORTraceRegistry::add(kComponent, 0, nullptr);
    {
        QORMutexLock guard(g_state.mutex);
        clearState();
        st = addNames(on, &g_state.on);
        if (st == qor_s_ok)
            st = addNames(off, &g_state.off);
        if (st != qor_s_ok) {
            clearState();
            return st;
        }
        g_state.stats = stats.getValue();
        g_state.configured = true;
    }
    QOR_FTRACE(trace, 1, "memory-on: %s; memory-off: %s; memory-stats: %s",
               on.getValue(), off.getValue(),
               QORConfigBoolean::toString(stats.getValue()));
    if (period.isSet()) {
        if (period.getValue() > 0)
            qor_allocator_set_stats_period(unsigned(period.getValue()));
        else
            QOR_FTRACE(trace, 1, "memory-stats-period %d ignored",
                       period.getValue());
    }
    qor_set_memtype_flags_provider(provider);
    return qor_s_ok;
}

unsigned QORMemDebug::flags(unsigned memoryType)
{
    QORMutexLock guard(g_state.mutex);
    if (!g_state.configured)
        return 0;
    unsigned result = 0;
    QORStatus st;
    char* type = dx_msg_get_msg_utf8(memoryType, &st);
    if (type == nullptr)
        return 0;
    // A type without a text has no name to match, but still gets
    // statistics.
    if (st == qor_s_ok && namesTypeOrParent(g_state.on, type) &&
        !namesTypeOrParent(g_state.off, type)) {
        result |= QOR_ALLOC_PAGE_GUARD;
        announce(&g_state.guardAnnounced, type, kDebuggingEnabled);
    }
    if (g_state.stats) {
        result |= QOR_ALLOC_STATS;
        announce(&g_state.statsAnnounced, type, kStatisticsEnabled);
    }
    QOR_FTRACE(QORTraceRegistry::get(kComponent), 2, "%s: flags 0x%x", type,
               result);
    free(type);
    return result;
}

void QORMemDebug::shutdown()
{
    qor_set_memtype_flags_provider(nullptr);
    QORMutexLock guard(g_state.mutex);
    clearState();
}
