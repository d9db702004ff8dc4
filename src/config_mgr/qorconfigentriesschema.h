// qorconfigentriesschema.h: QORConfigEntriesSchema, a list of individually
// described entries whose values are read one by one into typed values
// (config_mgr/qorconfigdata.h). The memory-debug component and the web-server
// adapter describe their settings with one.
#pragma once
#include "core/list/qorlist.h"
#include "config_mgr/qorconfigdata.h"
#include "config_mgr/qorconfigschema.h"
#include "config_mgr/qorconfigschemaentry.h"

class QORConfigEntriesSchema : public QORConfigSchema {
public:
    explicit QORConfigEntriesSchema(const char* name);
    ~QORConfigEntriesSchema() override;

    // Each stanza the entries name (and the qualified stanza of qualifying
    // entries) may hold only lines that some entry describes.
    QORStatus validate() override;
    // Headings "[stanza]" or "[stanza:qualifier]", each once, with their
    // entries as "name = value" and a note on defaults and inherited values.
    QORStatus dumpSchema(FILE* stream) const override;
    // Equal qualifiers and entries that match one for one.
    bool matches(const QORConfigSchema* other) const override;
    // index -1: entry i into data[i] for every entry; otherwise the entry at
    // index into data[0]. Stops at and returns the first failure.
    virtual QORStatus loadData(QORConfigData** data, int index);
    // Reads the entry at index (XLTIC0218E when there is none) into data:
    // every line of it for a multi-valued kind, else the first. A value the
    // kind refuses is reported (XLTIC0219E) and gives XLTIC0220E; a missing
    // value gives the entry's default, and data is marked as defaulted.
    virtual QORStatus loadData(QORConfigData* data, int index);
    // 0 when some entry describes line name of stanza (a plain stanza name;
    // inQualifiedStanza: the line is in its qualified form), else XLTIC0231W.
    virtual QORStatus validateEntry(const char* stanza, const char* name,
                                    bool inQualifiedStanza);

    // Appends entry (made with new), which the schema then owns, also when
    // the call fails. XLTIC0012E when the list cannot grow.
    QORStatus addEntry(QORConfigSchemaEntry* entry);
    int entries() const { return m_entries.entries(); }

private:
    QORStatus loadOne(const QORConfigSchemaEntry* entry, QORConfigData* data);
    QORStatus loadSingleValueEntry(qorStanzaFile* file,
                                   const QORConfigSchemaEntry* entry,
                                   QORConfigData* data) const;
    QORStatus loadMultiValueEntry(qorStanzaFile* file,
                                  const QORConfigSchemaEntry* entry,
                                  QORConfigData* data) const;
    // foundInQualified: whether the qualified stanza supplied the values.
    QORStatus loadMultiValueEntry(qorStanzaFile* file,
                                  const QORConfigSchemaEntry* entry,
                                  QORConfigData* data,
                                  bool* foundInQualified) const;
    // Feeds the lines of name in stanza to data (all of them, or the first
    // only); *found tells whether there was one.
    QORStatus feedLines(qorStanzaFile* file, const char* stanza,
                        const char* name, QORConfigData* data, bool all,
                        bool* found) const;
    QORStatus applyDefault(const QORConfigSchemaEntry* entry,
                           QORConfigData* data) const;
    // Whether the entry reads a qualified stanza in this schema.
    bool qualifies(const QORConfigSchemaEntry* entry) const;
    QORStatus validateStanza(const char* stanza, bool qualified);

    QORList<QORConfigSchemaEntry> m_entries;
};
