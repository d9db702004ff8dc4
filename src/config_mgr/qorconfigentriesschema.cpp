// qorconfigentriesschema.cpp: reading individually described entries into
// typed values, validating their stanzas and dumping them.
#include "config_mgr/qorconfigentriesschema.h"

#include <cstring>
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"

QORConfigEntriesSchema::QORConfigEntriesSchema(const char* name)
    : QORConfigSchema(name)
{
}

QORConfigEntriesSchema::~QORConfigEntriesSchema()
{
    for (QORConfigSchemaEntry* e : m_entries)
        delete e;
}

QORStatus QORConfigEntriesSchema::addEntry(QORConfigSchemaEntry* entry)
{
    QORStatus st = m_entries.add(entry);
    if (st != qor_s_ok) {
        delete entry;
        QOR_REPORT_SUB(qor_svc_config_mgr, st);
    }
    return st;
}

bool QORConfigEntriesSchema::qualifies(const QORConfigSchemaEntry* entry) const
{
    return entry->shouldQualify() && hasQualifier();
}

QORStatus QORConfigEntriesSchema::feedLines(qorStanzaFile* file,
                                            const char* stanza,
                                            const char* name,
                                            QORConfigData* data, bool all,
                                            bool* found) const
{
    *found = false;
    if (!qorStzMoveEntry(file, stanza, name))
        return scanStatus(stanza);
    *found = true;
    do {
        const char* value = file->value ? file->value : "";
        if (data->setLCPValue(QORLCPStringRef(value)) != qor_s_ok) {
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_config_bad_value_logged, stanza, fileName(), name,
                       value);
            return qor_s_config_bad_value;
        }
    } while (all && qorStzIterateEntryInStanza(file, name));
    return scanStatus(stanza);
}

QORStatus QORConfigEntriesSchema::applyDefault(const QORConfigSchemaEntry* entry,
                                               QORConfigData* data) const
{
    const char* value = entry->getDefaultValue();
    if (data->isSet() || value == nullptr)
        return qor_s_ok;
    if (data->setLCPValue(QORLCPStringRef(value)) != qor_s_ok) {
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_config_bad_value_logged, entry->getStanza(),
                   fileName(), entry->getName(), value);
        return qor_s_config_bad_value;
    }
    data->markDefault();
    return qor_s_ok;
}

QORStatus QORConfigEntriesSchema::loadSingleValueEntry(
    qorStanzaFile* file, const QORConfigSchemaEntry* entry,
    QORConfigData* data) const
{
    bool found = false;
    QORStatus st;
    if (qualifies(entry)) {
        QORLCPString stanza;
        if (!qualifiedStanza(entry->getStanza(), &stanza)) {
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
            return qor_s_no_memory;
        }
        st = feedLines(file, stanza.c_str(), entry->getName(), data, false,
                       &found);
        if (st != qor_s_ok)
            return st;
    }
    if (!found) {
        st = feedLines(file, entry->getStanza(), entry->getName(), data, false,
                       &found);
        if (st != qor_s_ok)
            return st;
    }
    return applyDefault(entry, data);
}

QORStatus QORConfigEntriesSchema::loadMultiValueEntry(
    qorStanzaFile* file, const QORConfigSchemaEntry* entry,
    QORConfigData* data) const
{
    bool foundInQualified;
    return loadMultiValueEntry(file, entry, data, &foundInQualified);
}

QORStatus QORConfigEntriesSchema::loadMultiValueEntry(
    qorStanzaFile* file, const QORConfigSchemaEntry* entry,
    QORConfigData* data, bool* foundInQualified) const
{
    *foundInQualified = false;
    QORStatus st;
    if (qualifies(entry)) {
        QORLCPString stanza;
        if (!qualifiedStanza(entry->getStanza(), &stanza)) {
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
            return qor_s_no_memory;
        }
        st = feedLines(file, stanza.c_str(), entry->getName(), data, true,
                       foundInQualified);
        if (st != qor_s_ok)
            return st;
    }
    // Lines of the qualified stanza replace the plain stanza's entirely.
    if (!*foundInQualified) {
        bool found;
        st = feedLines(file, entry->getStanza(), entry->getName(), data, true,
                       &found);
        if (st != qor_s_ok)
            return st;
    }
    return applyDefault(entry, data);
}

QORStatus QORConfigEntriesSchema::loadOne(const QORConfigSchemaEntry* entry,
                                          QORConfigData* data)
{
    if (data->isMultiValued())
        return loadMultiValueEntry(m_file, entry, data);
    return loadSingleValueEntry(m_file, entry, data);
}

QORStatus QORConfigEntriesSchema::loadData(QORConfigData* data, int index)
{
    // A schema that was never registered has no file to read.
    if (m_file == nullptr)
        return qor_s_config_bad_schema;
    for (QORList<QORConfigSchemaEntry>::Iterator it = m_entries.begin();
         it.isValid(); it.next()) {
        if (it.index() == index)
            return loadOne(it.get(), data);
    }
    return qor_s_config_bad_schema;
}

QORStatus QORConfigEntriesSchema::loadData(QORConfigData** data, int index)
{
    if (index != -1)
        return loadData(data[0], index);
    if (m_file == nullptr)
        return qor_s_config_bad_schema;
    for (QORList<QORConfigSchemaEntry>::Iterator it = m_entries.begin();
         it.isValid(); it.next()) {
        QORStatus st = loadOne(it.get(), data[it.index()]);
        if (st != qor_s_ok)
            return st;
    }
    return qor_s_ok;
}

QORStatus QORConfigEntriesSchema::validateEntry(const char* stanza,
                                                const char* name,
                                                bool inQualifiedStanza)
{
    for (const QORConfigSchemaEntry* e : m_entries) {
        if (e->matches(stanza, name, inQualifiedStanza))
            return qor_s_ok;
    }
    return qor_s_config_unknown_entry;
}

QORStatus QORConfigEntriesSchema::validateStanza(const char* stanza,
                                                 bool qualified)
{
    QORLCPString name;
    if (!(qualified ? qualifiedStanza(stanza, &name) : name.set(stanza, -1))) {
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
        return qor_s_no_memory;
    }
    if (!qorStzMoveStanza(m_file, name.c_str()))
        return scanStatus(name.c_str());
    QORStatus result = qor_s_ok;
    while (m_file->entryName != nullptr) {
        if (validateEntry(stanza, m_file->entryName, qualified) != qor_s_ok)
            result = unknownLine(name.c_str());
        if (!qorStzMoveNextEntry(m_file))
            break;
    }
    QORStatus st = scanStatus(name.c_str());
    return st != qor_s_ok ? st : result;
}

QORStatus QORConfigEntriesSchema::validate()
{
    if (m_file == nullptr)
        return qor_s_config_bad_schema;
    QORStatus result = qor_s_ok;
    for (QORList<QORConfigSchemaEntry>::Iterator it = m_entries.begin();
         it.isValid(); it.next()) {
        const QORConfigSchemaEntry* e = it.get();
        // Each stanza is scanned once, however many entries name it.
        bool plainSeen = false;
        bool qualifiedSeen = false;
        for (QORList<QORConfigSchemaEntry>::Iterator p = m_entries.begin();
             p.get() != e; p.next()) {
            if (strcmp(p.get()->getStanza(), e->getStanza()) != 0)
                continue;
            plainSeen = true;
            qualifiedSeen = qualifiedSeen || qualifies(p.get());
        }
        QORStatus st = qor_s_ok;
        if (!plainSeen)
            st = validateStanza(e->getStanza(), false);
        if (result == qor_s_ok)
            result = st;
        if (qualifies(e) && !qualifiedSeen)
            st = validateStanza(e->getStanza(), true);
        if (result == qor_s_ok)
            result = st;
    }
    return result;
}

QORStatus QORConfigEntriesSchema::dumpSchema(FILE* stream) const
{
    for (QORList<QORConfigSchemaEntry>::Iterator it = m_entries.begin();
         it.isValid(); it.next()) {
        const QORConfigSchemaEntry* e = it.get();
        bool qualified = qualifies(e);
        auto sameHeading = [&](const QORConfigSchemaEntry* f) {
            return qualifies(f) == qualified
                && strcmp(f->getStanza(), e->getStanza()) == 0;
        };
        // A heading is written once, with every entry under it, where its
        // first entry stands.
        bool written = false;
        for (QORList<QORConfigSchemaEntry>::Iterator p = m_entries.begin();
             p.get() != e && !written; p.next())
            written = sameHeading(p.get());
        if (written)
            continue;
        if (qualified)
            fprintf(stream, "\n[%s:%s]\n", e->getStanza(), getQualifier());
        else
            fprintf(stream, "\n[%s]\n", e->getStanza());
        for (QORList<QORConfigSchemaEntry>::Iterator f = it; f.isValid();
             f.next()) {
            if (!sameHeading(f.get()))
                continue;
            QORConfigMVLCPString value;
            bool inQualified = false;
            QORStatus st = loadMultiValueEntry(m_file, f.get(), &value,
                                               &inQualified);
            if (st != qor_s_ok)
                return st;
            fprintf(stream, "%-25s = %-25s", f.get()->getName(),
                    value.getValue());
            if (value.isDefault())
                fputs(" # default\n", stream);
            else if (qualified && value.isSet() && !inQualified)
                fprintf(stream, " # inherited from [%s]\n", e->getStanza());
            else
                fputs("\n", stream);
        }
    }
    return qor_s_ok;
}

bool QORConfigEntriesSchema::matches(const QORConfigSchema* other) const
{
    const QORConfigEntriesSchema* o =
        dynamic_cast<const QORConfigEntriesSchema*>(other);
    if (o == nullptr || !QORConfigSchema::matches(other)
        || o->m_entries.entries() != m_entries.entries())
        return false;
    QORList<QORConfigSchemaEntry>::Iterator b = o->m_entries.begin();
    for (const QORConfigSchemaEntry* a : m_entries) {
        if (!a->matches(*b.get()))
            return false;
        b.next();
    }
    return true;
}
