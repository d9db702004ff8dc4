// qorconfigschemaentry.cpp: the description of one configuration entry.
#include "config_mgr/qorconfigschemaentry.h"

#include "core/buffers/qorconverter.h"
#include "config_mgr/qorconfigdata.h"

QORConfigSchemaEntry::~QORConfigSchemaEntry() {}

QORStatus QORConfigSchemaEntry::set(const char* stanza, const char* name,
                                    bool qualify, const char* defaultValue)
{
    QORUTF8ToCPConverter conv(qor_config_local_cs());
    m_qualify = qualify;
    QORStatus st = conv.convert(m_stanza, stanza, -1);
    if (st == qor_s_ok)
        st = conv.convert(m_name, name, -1);
    if (st == qor_s_ok)
        st = conv.convert(m_default, defaultValue, -1);
    return st;
}

bool QORConfigSchemaEntry::matches(const QORConfigSchemaEntry& other) const
{
    return m_qualify == other.m_qualify && m_stanza.equals(other.m_stanza)
        && m_name.equals(other.m_name) && m_default.equals(other.m_default);
}

bool QORConfigSchemaEntry::matches(const char* stanza, const char* name,
                                   bool inQualifiedStanza) const
{
    if (inQualifiedStanza && !m_qualify)
        return false;
    return m_stanza.equals(QORLCPStringRef(stanza))
        && m_name.equals(QORLCPStringRef(name));
}
