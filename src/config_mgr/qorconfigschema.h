// qorconfigschema.h: QORConfigSchema, the common part of the descriptions
// of what a caller reads from the configuration file (an entries schema or a
// stanza schema), and QORConfigUpdater, through which a schema tells its
// owner that its values changed. The configuration manager
// (config_mgr/qorconfigmgr.h) registers schemas and owns them.
#pragma once
#include <cstdio>
#include "core/buffers/qorstring.h"
#include "core/file/qorstanza.h"

class QORConfigMgr;

// Supplied by callers that want to hear of changes to a schema's values.
class QORConfigUpdater {
public:
    virtual ~QORConfigUpdater();
    virtual void update(int reason) = 0;
};

class QORConfigSchema {
public:
    // name: the display name (UTF-8) that dump shows.
    explicit QORConfigSchema(const char* name);
    QORConfigSchema(const QORConfigSchema&) = delete;
    QORConfigSchema& operator=(const QORConfigSchema&) = delete;
    virtual ~QORConfigSchema();

    // Checks that the file holds only the entries the schema describes: 0,
    // or XLTIC0231W after reporting each unknown line as XLTIC0230W.
    virtual QORStatus validate() = 0;
    // Writes the schema's headings and values, as read now, to stream.
    virtual QORStatus dumpSchema(FILE* stream) const = 0;
    // True when other describes the same reading; here, equal qualifiers.
    virtual bool matches(const QORConfigSchema* other) const;

    // A qualifier (UTF-8; null or empty for none) makes the schema read the
    // stanza "<stanza>:<qualifier>" before, or instead of, "<stanza>".
    QORStatus setQualifier(const char* qualifier);
    // Keeps one updater (not owned); a later call replaces it.
    void addUpdater(QORConfigUpdater* updater) { m_updater = updater; }
    // Passes reason to the updater, if there is one. Returns 0.
    QORStatus update(int reason);

    const char* getName() const { return m_name.c_str(); }
    const char* getQualifier() const { return m_qualifier.c_str(); }
    bool hasQualifier() const { return !m_qualifier.isEmpty(); }
    // Result of the validation made at registration (0 when none was made).
    QORStatus getStatus() const { return m_status; }

protected:
    // "<stanza>:<qualifier>" into out; false when memory failed.
    bool qualifiedStanza(const char* stanza, QORLCPString* out) const;
    // After a scan of stanza: 0, or the file's error status, reported as
    // XLTCO0234E with the stanza and file names.
    QORStatus scanStatus(const char* stanza) const;
    // Reports a line of stanza that the schema does not describe
    // (XLTIC0230W) and gives XLTIC0231W.
    QORStatus unknownLine(const char* stanza) const;
    const char* fileName() const;

    QORConfigUpdater* m_updater = nullptr;
    QORLCPString m_qualifier;
    QORString m_name;
    QORStatus m_status = qor_s_ok;
    qorStanzaFile* m_file = nullptr;

private:
    friend class QORConfigMgr;
};
