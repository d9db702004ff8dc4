// qorconfigmgr.cpp: the configuration manager and its plain-function
// interface.
#include "config_mgr/qorconfigmgr.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include "core/buffers/qorconverter.h"
#include "core/system/qorassert.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"

namespace {

const char kStars[] =
    "****************************************************************************";
const char kDashes[] =
    "----------------------------------------------------------------------------";
static_assert(sizeof(kStars) == 77 && sizeof(kDashes) == 77,
              "dump rules are 76 characters wide");

// The name of every schema the plain functions create.
const char kCommonInterface[] = "qor_common_interface";

// Buckets of the table that loadStanza reads into.
const unsigned kStanzaBuckets = 23;

QORConfigMgr* managerOf(void* mgr)
{
    return static_cast<QORConfigMgr*>(mgr);
}

// A malloc'ed copy of n bytes of text, or null for an empty text. False when
// memory failed.
bool copyValue(const char* text, int n, char** out)
{
    *out = nullptr;
    if (n == 0)
        return true;
    *out = strndup(text, static_cast<size_t>(n));
    return *out != nullptr;
}

// Builds the result of loadStanza; a partly built array is released by the
// destructor unless it was handed out.
class StanzaArray {
public:
    explicit StanzaArray(int capacity)
        : m_items(static_cast<dxw_config_entry_s*>(
              calloc(static_cast<size_t>(capacity) + 1, sizeof(dxw_config_entry_s))))
    {
    }
    ~StanzaArray() { QORConfigMgr::releaseStanzaData(m_items); }
    bool isValid() const { return m_items != nullptr; }

    bool add(const QORString& name, const char* value, int n)
    {
        dxw_config_entry_s* e = &m_items[m_count];
        e->name = strdup(name.c_str());
        if (e->name == nullptr)
            return false;
        m_count++;
        return copyValue(value, n, &e->value);
    }
    dxw_config_entry_s* release()
    {
        dxw_config_entry_s* items = m_items;
        m_items = nullptr;
        return items;
    }

private:
    dxw_config_entry_s* m_items;
    int m_count = 0;
};

// Elements loadStanza gives for one value: one per comma-separated piece,
// and one (with no value) for an empty value.
int piecesOf(const QORString& value, bool ignoreCommas)
{
    if (ignoreCommas || value.isEmpty())
        return 1;
    int pieces = 0;
    // The callback never fails, so neither does the split.
    (void)qor_config_split(value.data(), value.length(), [&pieces](const char*, int) {
        pieces++;
        return qor_s_ok;
    });
    return pieces;
}

} // namespace

QORConfigMgr::QORConfigMgr()
    : m_schemas(nullptr, true)
{
}

QORConfigMgr::~QORConfigMgr()
{
    (void)shutdown(); // a destructor has no one to tell
}

QORStatus QORConfigMgr::initialize(const char* fileName)
{
    if (m_file != nullptr)
        (void)shutdown(); // the old file is dropped; the new one decides
    if (!m_fileName.set(fileName, -1)) {
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return qor_s_no_memory;
    }
    QORUTF8ToCPConverter conv(qor_config_local_cs());
    QORStatus st = conv.convert(m_lcpFileName, fileName, -1);
    if (st != qor_s_ok)
        return st;
    m_file = qorStzFileOpen(m_lcpFileName.c_str(),
                            QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY, &st);
    return m_file != nullptr ? qor_s_ok : st;
}

QORStatus QORConfigMgr::registerSchema(QORConfigEntriesSchema* schema, int* id,
                                       bool validate)
{
    return registerSchema(schema, SchemaEntry::ENTRIES_SCHEMA, id, validate);
}

QORStatus QORConfigMgr::registerSchema(QORConfigStanzaSchemaT<QORString>* schema,
                                       int* id, bool validate)
{
    return registerSchema(schema, SchemaEntry::STRING_STANZA_SCHEMA, id,
                          validate);
}

QORStatus QORConfigMgr::registerSchema(
    QORConfigStanzaSchemaT<QORLCPString>* schema, int* id, bool validate)
{
    return registerSchema(schema, SchemaEntry::LCP_STRING_STANZA_SCHEMA, id,
                          validate);
}

QORStatus QORConfigMgr::registerSchema(QORConfigSchema* schema,
                                       SchemaEntry::config_schemas_e kind,
                                       int* id, bool validate)
{
    QOR_ASSERT(m_file);
    *id = -1;
    SchemaEntry* entry = qor_new<SchemaEntry>(nullptr, schema, kind);
    if (entry == nullptr) {
        delete schema;
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return qor_s_no_memory;
    }
    if (m_schemas.add(entry) != qor_s_ok) {
        qor_delete(entry);
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return qor_s_no_memory;
    }
    schema->m_file = m_file;
    *id = m_schemas.entries() - 1;
    if (validate)
        schema->m_status = schema->validate();
    return qor_s_ok;
}

QORStatus QORConfigMgr::findSchema(int id, QORConfigSchema** schema) const
{
    QOR_ASSERT(m_file);
    for (QORList<SchemaEntry>::Iterator it = m_schemas.begin(); it.isValid();
         it.next()) {
        if (it.index() == id && it.get()->schema != nullptr) {
            *schema = it.get()->schema;
            return qor_s_ok;
        }
    }
    return qor_s_not_available;
}

QORStatus QORConfigMgr::shutdown()
{
    if (m_file == nullptr)
        return qor_s_ok;
    m_schemas.delEntries();
    qorStzFileClose(m_file);
    m_file = nullptr;
    return qor_s_ok;
}

QORStatus QORConfigMgr::dump(FILE* stream) const
{
    time_t now = time(nullptr);
    char stamp[32];
    fprintf(stream, "%s\n%s%s\n\n", kStars, ctime_r(&now, stamp), kStars);
    QORStatus st = qor_s_ok;
    for (QORList<SchemaEntry>::Iterator it = m_schemas.begin();
         st == qor_s_ok && it.isValid(); it.next()) {
        const QORConfigSchema* schema = it.get()->schema;
        bool seen = false;
        for (QORList<SchemaEntry>::Iterator p = m_schemas.begin();
             !seen && p.get() != it.get(); p.next())
            seen = p.get()->schema->matches(schema);
        if (seen)
            continue;
        int dashes = 61 - static_cast<int>(strlen(schema->getName()));
        fprintf(stream, "\n---- Schema: %s %.*s\n", schema->getName(),
                dashes > 0 ? dashes : 0, kDashes);
        st = schema->dumpSchema(stream);
    }
    if (st == qor_s_ok)
        fprintf(stream, "\n%s\n\n", kStars);
    fflush(stream);
    return st;
}

bool QORConfigMgr::loadStanza(void* mgr, const char* stanza_name,
                              const char* qualifier, dxw_config_entry_s** value,
                              bool ignoreCommas)
{
    QOR_ASSERT(stanza_name && value);
    QORConfigMgr* self = managerOf(mgr);
    QORConfigStanzaSchemaT<QORString>* schema =
        new (std::nothrow) QORConfigStanzaSchemaT<QORString>(kCommonInterface);
    if (schema == nullptr) {
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return false;
    }
    QORStatus st = schema->setStanza(stanza_name);
    if (st == qor_s_ok && qualifier != nullptr) {
        st = schema->setQualifier(qualifier);
        schema->setInherit(false);
    }
    if (st != qor_s_ok) {
        delete schema;
        return false;
    }
    int id;
    if (self->registerSchema(schema, &id, false) != qor_s_ok)
        return false;

    QORHashTable<QORString, QORString> table(nullptr, true);
    if (table.initialize(kStanzaBuckets) != qor_s_ok
        || schema->loadData(table) != qor_s_ok)
        return false;

    int count = 0;
    table.forEach([&count, ignoreCommas](const QORString&, const QORString& v) {
        count += piecesOf(v, ignoreCommas);
    });
    StanzaArray array(count);
    bool ok = array.isValid();
    table.forEach([&](const QORString& name, const QORString& v) {
        if (!ok)
            return;
        if (ignoreCommas || v.isEmpty()) {
            ok = array.add(name, v.data(), v.length());
            return;
        }
        // A failed add is carried in ok; the callback itself never fails.
        (void)qor_config_split(v.data(), v.length(), [&](const char* p, int n) {
            ok = ok && array.add(name, p, n);
            return qor_s_ok;
        });
    });
    if (!ok) {
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return false;
    }
    *value = array.release();
    return true;
}

bool QORConfigMgr::loadStanzaIgnoreCommas(void* mgr, const char* stanza_name,
                                          const char* qualifier,
                                          dxw_config_entry_s** value)
{
    return loadStanza(mgr, stanza_name, qualifier, value, true);
}

bool QORConfigMgr::loadStanzaObserveCommas(void* mgr, const char* stanza_name,
                                           const char* qualifier,
                                           dxw_config_entry_s** value)
{
    return loadStanza(mgr, stanza_name, qualifier, value, false);
}

bool QORConfigMgr::loadEntry(void* mgr, const char* stanza_name,
                             const char* qualifier, const char* entry_name,
                             char*** value, int optional, bool ignoreCommas)
{
    QOR_ASSERT(stanza_name && entry_name && value);
    QORConfigMgr* self = managerOf(mgr);
    QORConfigEntriesSchema* schema =
        new (std::nothrow) QORConfigEntriesSchema(kCommonInterface);
    QORConfigSchemaEntry* entry = new (std::nothrow) QORConfigSchemaEntry();
    if (schema == nullptr || entry == nullptr) {
        delete schema;
        delete entry;
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return false;
    }
    QORStatus st = entry->set(stanza_name, entry_name, qualifier != nullptr,
                              nullptr);
    if (st == qor_s_ok)
        st = schema->addEntry(entry);
    else
        delete entry;
    if (st == qor_s_ok && qualifier != nullptr)
        st = schema->setQualifier(qualifier);
    if (st != qor_s_ok) {
        delete schema;
        return false;
    }
    int id;
    if (self->registerSchema(schema, &id, false) != qor_s_ok)
        return false;

    QORConfigMVString data(ignoreCommas);
    if (schema->loadData(&data, 0) != qor_s_ok)
        return false;
    if (data.entries() == 0) {
        if (!optional)
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_config_entry_required, stanza_name,
                       self->m_fileName.c_str(), entry_name);
        return false;
    }
    char** values = static_cast<char**>(
        calloc(static_cast<size_t>(data.entries()) + 1, sizeof(char*)));
    bool ok = values != nullptr;
    QORStringRef v;
    for (int i = 0; ok && data.next(&v); i++) {
        values[i] = strndup(v.data(), static_cast<size_t>(v.length()));
        ok = values[i] != nullptr;
    }
    if (!ok) {
        releaseEntryData(values);
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return false;
    }
    *value = values;
    return true;
}

bool QORConfigMgr::loadEntryIgnoreCommas(void* mgr, const char* stanza_name,
                                         const char* qualifier,
                                         const char* entry_name, char*** value,
                                         int optional)
{
    return loadEntry(mgr, stanza_name, qualifier, entry_name, value, optional,
                     true);
}

bool QORConfigMgr::loadEntryObserveCommas(void* mgr, const char* stanza_name,
                                          const char* qualifier,
                                          const char* entry_name,
                                          char*** value, int optional)
{
    return loadEntry(mgr, stanza_name, qualifier, entry_name, value, optional,
                     false);
}

void QORConfigMgr::releaseStanzaData(dxw_config_entry_s* data)
{
    if (data == nullptr)
        return;
    for (dxw_config_entry_s* e = data; e->name != nullptr || e->value != nullptr;
         e++) {
        free(e->name);
        free(e->value);
    }
    free(data);
}

void QORConfigMgr::releaseEntryData(char** data)
{
    if (data == nullptr)
        return;
    for (char** p = data; *p != nullptr; p++)
        free(*p);
    free(data);
}
