// qorconfigschemaentry.h: the description of one configuration entry that a
// caller wants: its stanza, its name, whether a qualified stanza is read
// first, and the default used when the file has no value. Entries schemas
// (config_mgr/qorconfigentriesschema.h) hold a list of them.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
class QORConfigSchemaEntry {
public:
    QORConfigSchemaEntry() {}
    QORConfigSchemaEntry(const QORConfigSchemaEntry&) = delete;
    QORConfigSchemaEntry& operator=(const QORConfigSchemaEntry&) = delete;
    virtual ~QORConfigSchemaEntry();

    // Takes the three texts in UTF-8 and keeps them in the local code page;
    // a null default means none. 0, or the conversion's status (the entry
    // is then incomplete and must not be used).
    QORStatus set(const char* stanza, const char* name, bool qualify,
                  const char* defaultValue);

    // Texts in the local code page.
    const char* getStanza() const { return m_stanza.c_str(); }
    const char* getName() const { return m_name.c_str(); }
    bool shouldQualify() const { return m_qualify; }
    // The default, or null when it is empty.
    const char* getDefaultValue() const
    {
        return m_default.isEmpty() ? nullptr : m_default.c_str();
    }

    // Exactly the same description: qualify flag, stanza, name, default.
    bool matches(const QORConfigSchemaEntry& other) const;
    // Whether a line name in stanza (a plain stanza name) is this entry; in
    // a qualified stanza only entries that qualify count.
    bool matches(const char* stanza, const char* name,
                 bool inQualifiedStanza) const;

private:
    QORLCPString m_stanza;
    QORLCPString m_name;
    QORLCPString m_default;
    bool m_qualify = false;
};

QOR_EXPORT_END
