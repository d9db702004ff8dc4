// qorconfigschema.cpp: what every kind of configuration schema shares.
#include "config_mgr/qorconfigschema.h"

#include "core/buffers/qorconverter.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"
#include "config_mgr/qorconfigdata.h"

QORConfigUpdater::~QORConfigUpdater() {}

QORConfigSchema::QORConfigSchema(const char* name)
    : m_name(name)
{
}

QORConfigSchema::~QORConfigSchema() {}

bool QORConfigSchema::matches(const QORConfigSchema* other) const
{
    return m_qualifier.equals(other->m_qualifier);
}

QORStatus QORConfigSchema::setQualifier(const char* qualifier)
{
    QORUTF8ToCPConverter conv(qor_config_local_cs());
    return conv.convert(m_qualifier, qualifier, -1);
}

QORStatus QORConfigSchema::update(int reason)
{
    if (m_updater != nullptr)
        m_updater->update(reason);
    return qor_s_ok;
}

bool QORConfigSchema::qualifiedStanza(const char* stanza,
                                      QORLCPString* out) const
{
    return out->set(stanza, -1) && out->append(':')
        && out->append(m_qualifier.data(), m_qualifier.length());
}

QORStatus QORConfigSchema::scanStatus(const char* stanza) const
{
    QORStatus st = m_file->status;
    if (st != qor_s_ok)
        QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_config_stanza_access, stanza, fileName());
    return st;
}

QORStatus QORConfigSchema::unknownLine(const char* stanza) const
{
    const char* value = m_file->value ? m_file->value : "";
    QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_config_unknown_logged, m_file->entryName, value, stanza,
               fileName());
    return qor_s_config_unknown_entry;
}

const char* QORConfigSchema::fileName() const
{
    return m_file && m_file->fileName ? m_file->fileName : "";
}
