// qorconfigstanzaschema.cpp: reading a whole stanza, qualified stanza first,
// into a table or a list of names and values.
#include "config_mgr/qorconfigstanzaschema.h"

#include "core/buffers/qorconverter.h"
#include "core/system/qorassert.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"
#include "config_mgr/qorconfigdata.h"

namespace {

// Buckets of the tables that a dump loads; stanzas are small.
const unsigned kDumpBuckets = 23;

// Adds name and value to table unless the name is there (the first line of
// a name wins), and marks the name in inherited when that is given.
template <class S>
QORStatus putFirst(QORHashTable<S, S>& table, QORHashTable<S, bool>* inherited,
                   const S& name, const S& value)
{
    if (table.contains(name))
        return qor_s_ok;
    S* key = qor_new<S>(nullptr, name);
    if (key == nullptr || key->length() != name.length()
        || table.insert(key, value) != qor_s_ok) {
        qor_delete(key);
        return qor_s_no_memory;
    }
    if (inherited == nullptr)
        return qor_s_ok;
    key = qor_new<S>(nullptr, name);
    if (key == nullptr || key->length() != name.length()
        || inherited->insert(key, true) != qor_s_ok) {
        qor_delete(key);
        return qor_s_no_memory;
    }
    return qor_s_ok;
}

} // namespace

QORStatus QORConfigStanzaText<QORString>::fromFile(QORString* out,
                                                   const char* text)
{
    QORCPToUTF8Converter conv(qor_config_local_cs());
    return conv.convert(*out, text, -1);
}

QORStatus QORConfigStanzaText<QORLCPString>::fromFile(QORLCPString* out,
                                                      const char* text)
{
    return out->set(text, -1) ? qor_s_ok : qor_s_no_memory;
}

template <class S>
QORConfigStanzaSchemaT<S>::QORConfigStanzaSchemaT(const char* name)
    : QORConfigSchema(name)
{
}

template <class S>
QORConfigStanzaSchemaT<S>::~QORConfigStanzaSchemaT()
{
}

template <class S>
QORStatus QORConfigStanzaSchemaT<S>::setStanza(const char* stanza)
{
    QORUTF8ToCPConverter conv(qor_config_local_cs());
    return conv.convert(m_stanza, stanza, -1);
}

template <class S>
template <class F>
QORStatus QORConfigStanzaSchemaT<S>::readStanza(const char* stanza,
                                                bool* exists, F add) const
{
    *exists = false;
    if (!qorStzMoveStanza(m_file, stanza))
        return scanStatus(stanza);
    *exists = true;
    while (m_file->entryName != nullptr) {
        S name;
        S value;
        QORStatus st = QORConfigStanzaText<S>::fromFile(&name, m_file->entryName);
        if (st == qor_s_ok)
            st = QORConfigStanzaText<S>::fromFile(
                &value, m_file->value ? m_file->value : "");
        if (st == qor_s_ok)
            st = add(name, value);
        if (st != qor_s_ok) {
            if (st == qor_s_no_memory)
                QOR_REPORT_SUB(qor_svc_config_mgr, st);
            return st;
        }
        if (!qorStzMoveNextEntry(m_file))
            break;
    }
    return scanStatus(stanza);
}

template <class S>
QORStatus QORConfigStanzaSchemaT<S>::loadData(QORHashTable<S, S>& table)
{
    return loadData(table, nullptr);
}

template <class S>
QORStatus QORConfigStanzaSchemaT<S>::loadData(
    QORHashTable<S, S>& table, QORHashTable<S, bool>* inherited) const
{
    QOR_ASSERT(table.deletesEntries());
    QOR_ASSERT(inherited == nullptr || inherited->deletesEntries());
    if (m_file == nullptr)
        return qor_s_config_bad_schema;
    bool qualifiedExists = false;
    if (hasQualifier()) {
        QORLCPString stanza;
        if (!qualifiedStanza(m_stanza.c_str(), &stanza)) {
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
            return qor_s_no_memory;
        }
        QORStatus st = readStanza(stanza.c_str(), &qualifiedExists,
                                  [&table](const S& name, const S& value) {
                                      return putFirst<S>(table, nullptr, name,
                                                         value);
                                  });
        if (st != qor_s_ok)
            return st;
    }
    if (hasQualifier() && qualifiedExists && !m_inherit)
        return qor_s_ok;
    // Under a qualifier every name the plain stanza supplies is inherited.
    QORHashTable<S, bool>* mark = hasQualifier() ? inherited : nullptr;
    bool exists;
    return readStanza(m_stanza.c_str(), &exists,
                      [&table, mark](const S& name, const S& value) {
                          return putFirst<S>(table, mark, name, value);
                      });
}

template <class S>
QORStatus QORConfigStanzaSchemaT<S>::loadData(QORSearchableList<Pair, Ref>& list)
{
    QOR_ASSERT(list.deletesEntries());
    if (m_file == nullptr)
        return qor_s_config_bad_schema;
    auto add = [&list](const S& name, const S& value) -> QORStatus {
        if (list.find(Ref(name)).isValid())
            return qor_s_ok;
        Pair* p = qor_new<Pair>(nullptr);
        if (p == nullptr)
            return qor_s_no_memory;
        if (!p->name.set(name) || !p->value.set(value)
            || list.add(p) != qor_s_ok) {
            qor_delete(p);
            return qor_s_no_memory;
        }
        return qor_s_ok;
    };
    bool qualifiedExists = false;
    if (hasQualifier()) {
        QORLCPString stanza;
        if (!qualifiedStanza(m_stanza.c_str(), &stanza)) {
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
            return qor_s_no_memory;
        }
        QORStatus st = readStanza(stanza.c_str(), &qualifiedExists, add);
        if (st != qor_s_ok)
            return st;
    }
    if (hasQualifier() && qualifiedExists && !m_inherit)
        return qor_s_ok;
    bool plainExists = false;
    QORStatus st = readStanza(m_stanza.c_str(), &plainExists, add);
    if (st != qor_s_ok)
        return st;
    return qualifiedExists || plainExists ? qor_s_ok : qor_s_not_available;
}

template <class S>
QORStatus QORConfigStanzaSchemaT<S>::validateStanza(const char* stanza)
{
    if (!qorStzMoveStanza(m_file, stanza))
        return scanStatus(stanza);
    QORStatus result = qor_s_ok;
    while (m_file->entryName != nullptr) {
        S name;
        bool known = false;
        if (QORConfigStanzaText<S>::fromFile(&name, m_file->entryName) == qor_s_ok)
            // The callback never fails, so neither does the split.
            (void)qor_config_split(m_validEntries.data(), m_validEntries.length(),
                             [&](const char* p, int n) {
                                 known = known || name.equals(Ref(p, n));
                                 return qor_s_ok;
                             });
        if (!known)
            result = unknownLine(stanza);
        if (!qorStzMoveNextEntry(m_file))
            break;
    }
    QORStatus st = scanStatus(stanza);
    return st != qor_s_ok ? st : result;
}

template <class S>
QORStatus QORConfigStanzaSchemaT<S>::validate()
{
    if (m_file == nullptr)
        return qor_s_config_bad_schema;
    QORStatus result = validateStanza(m_stanza.c_str());
    if (!hasQualifier())
        return result;
    QORLCPString stanza;
    if (!qualifiedStanza(m_stanza.c_str(), &stanza)) {
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return qor_s_no_memory;
    }
    QORStatus st = validateStanza(stanza.c_str());
    return result != qor_s_ok ? result : st;
}

template <class S>
QORStatus QORConfigStanzaSchemaT<S>::dumpSchema(FILE* stream) const
{
    QORHashTable<S, S> table(nullptr, true);
    QORHashTable<S, bool> inherited(nullptr, true);
    QORStatus st = table.initialize(kDumpBuckets);
    if (st == qor_s_ok)
        st = inherited.initialize(kDumpBuckets);
    if (st == qor_s_ok)
        st = loadData(table, &inherited);
    if (st != qor_s_ok)
        return st;
    if (hasQualifier())
        fprintf(stream, "\n[%s:%s]\n", m_stanza.c_str(), getQualifier());
    else
        fprintf(stream, "\n[%s]\n", m_stanza.c_str());
    const char* plain = m_stanza.c_str();
    table.forEach([&](const S& name, const S& value) {
        fprintf(stream, "%-25s = %-25s", name.c_str(), value.c_str());
        if (inherited.contains(name))
            fprintf(stream, " # inherited from [%s]\n", plain);
        else
            fputs("\n", stream);
    });
    return qor_s_ok;
}

template <class S>
bool QORConfigStanzaSchemaT<S>::matches(const QORConfigSchema* other) const
{
    const QORConfigStanzaSchemaT<S>* o =
        dynamic_cast<const QORConfigStanzaSchemaT<S>*>(other);
    return o != nullptr && QORConfigSchema::matches(other)
        && m_stanza.equals(o->m_stanza) && m_inherit == o->m_inherit;
}

template class QORConfigStanzaSchemaT<QORString>;
template class QORConfigStanzaSchemaT<QORLCPString>;
