// qorconfigmgr.h: QORConfigMgr, the owner of one process's configuration
// file. It reads the file into memory once, keeps the schemas registered
// with it, loads values for them and dumps them all. Over it sits a small
// interface of plain functions (loadStanza, loadEntry) that returns plain
// arrays of strings to callers outside the library, such as the web-server
// adapter; the memory-debug component uses the manager directly.
//
// The manager has no lock: initialize, register, load and shut down from one
// thread. What loads return belongs to the caller.
#pragma once
#include <cstdio>
#include "core/list/qorlist.h"
#include "config_mgr/qorconfigentriesschema.h"
#include "config_mgr/qorconfigschema.h"
#include "config_mgr/qorconfigstanzaschema.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
// One name and value of a stanza as loadStanza returns it; both malloc'ed,
// value null for an empty value. An array of them ends with an element whose
// name and value are both null.
struct dxw_config_entry_s {
    char* name;
    char* value;
};

class QORConfigMgr {
public:
    struct SchemaEntry {
        enum config_schemas_e {
            ENTRIES_SCHEMA = 0,
            STRING_STANZA_SCHEMA = 1,
            LCP_STRING_STANZA_SCHEMA = 2,
        };
        SchemaEntry(QORConfigSchema* s, config_schemas_e k)
            : schema(s)
            , kind(k)
        {
        }
        ~SchemaEntry() { delete schema; }

        QORConfigSchema* schema;
        config_schemas_e kind;
    };

    QORConfigMgr();
    QORConfigMgr(const QORConfigMgr&) = delete;
    QORConfigMgr& operator=(const QORConfigMgr&) = delete;
    // Shuts down.
    virtual ~QORConfigMgr();

    // Reads fileName (UTF-8) into memory, read-only, after shutting down an
    // earlier file. 0, or the stanza file's open status with no file open.
    QORStatus initialize(const char* fileName);
    // Registers a schema made with new; the manager owns it from this call
    // on (and deletes it at once when the call fails). *id receives its id,
    // the number of schemas registered before it (-1 on failure). With
    // validate the schema's validation result is kept in it (getStatus).
    // REQUIRES: initialized. 0 or XLTIC0012E.
    QORStatus registerSchema(QORConfigEntriesSchema* schema, int* id,
                             bool validate);
    QORStatus registerSchema(QORConfigStanzaSchemaT<QORString>* schema,
                             int* id, bool validate);
    QORStatus registerSchema(QORConfigStanzaSchemaT<QORLCPString>* schema,
                             int* id, bool validate);
    QORStatus registerSchema(QORConfigSchema* schema,
                             SchemaEntry::config_schemas_e kind, int* id,
                             bool validate);
    // The schema of id (still owned by the manager); XLTIC0002E when id
    // names none. REQUIRES: initialized.
    QORStatus findSchema(int id, QORConfigSchema** schema) const;
    // Deletes every schema (their ids become invalid) and closes the file.
    QORStatus shutdown();
    // Writes every registered schema with its values, as read now, to
    // stream; a schema that matches an earlier one is written once.
    QORStatus dump(FILE* stream) const;

    int schemas() const { return m_schemas.entries(); }
    const char* getFileName() const { return m_fileName.c_str(); }
    bool isInitialized() const { return m_file != nullptr; }

    // The plain-function interface: mgr is a QORConfigMgr*, the texts are
    // UTF-8 and every call returns true on success. Each call registers a
    // schema that lives until shutdown.
    //
    // *value receives the names and values of stanza_name (with a
    // qualifier: of "<stanza>:<qualifier>" when that exists, else of the
    // plain stanza), in no particular order, one element per name (only the
    // first line of a name counts); unless ignoreCommas, one element per
    // comma-separated piece of each value. A missing stanza gives an array
    // holding the terminating element only. Release with releaseStanzaData.
    static bool loadStanza(void* mgr, const char* stanza_name,
                           const char* qualifier, dxw_config_entry_s** value,
                           bool ignoreCommas);
    static bool loadStanzaIgnoreCommas(void* mgr, const char* stanza_name,
                                       const char* qualifier,
                                       dxw_config_entry_s** value);
    static bool loadStanzaObserveCommas(void* mgr, const char* stanza_name,
                                        const char* qualifier,
                                        dxw_config_entry_s** value);
    // *value receives a null-terminated array of the values of entry_name,
    // every line in file order, each split at commas unless ignoreCommas;
    // with a qualifier, the qualified stanza's lines replace the plain
    // stanza's. False when there is none (reported as XLTIC0211E unless
    // optional is nonzero). Release with releaseEntryData.
    static bool loadEntry(void* mgr, const char* stanza_name,
                          const char* qualifier, const char* entry_name,
                          char*** value, int optional, bool ignoreCommas);
    static bool loadEntryIgnoreCommas(void* mgr, const char* stanza_name,
                                      const char* qualifier,
                                      const char* entry_name, char*** value,
                                      int optional);
    static bool loadEntryObserveCommas(void* mgr, const char* stanza_name,
                                       const char* qualifier,
                                       const char* entry_name, char*** value,
                                       int optional);
    // Free what the loads returned (null is ignored).
    static void releaseStanzaData(dxw_config_entry_s* data);
    static void releaseEntryData(char** data);

private:
    QORList<SchemaEntry> m_schemas;
    QORString m_fileName;
    QORLCPString m_lcpFileName;
    qorStanzaFile* m_file = nullptr;
};

QOR_EXPORT_END
