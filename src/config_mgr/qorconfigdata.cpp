// qorconfigdata.cpp: parsing and checking of typed configuration values.
#include "config_mgr/qorconfigdata.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include "core/buffers/qorconverter.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"

lox_cs_t qor_config_local_cs()
{
    return qorsvc_get_local_cs();
}

namespace {

// Appends a copy of n characters of text to list; false when memory failed.
template <class S>
bool appendCopy(QORList<S>& list, const char* text, int n)
{
    S* s = qor_new<S>(nullptr);
    if (s == nullptr)
        return false;
    if (!s->set(text, n) || list.add(s) != qor_s_ok) {
        qor_delete(s);
        return false;
    }
    return true;
}

// The setter shared by both multi-valued kinds: joined text first, then the
// values, split or whole.
template <class S>
QORStatus appendValues(S& joined, QORList<S>& values, bool ignoreCommas,
                       const char* text, int n)
{
    if (!joined.isEmpty() && !joined.append(','))
        return qor_s_no_memory;
    if (!joined.append(text, n))
        return qor_s_no_memory;
    if (ignoreCommas)
        return appendCopy(values, text, n) ? qor_s_ok : qor_s_no_memory;
    return qor_config_split(text, n, [&values](const char* p, int len) {
        return appendCopy(values, p, len) ? qor_s_ok : qor_s_no_memory;
    });
}

// Fills list with copies of the null-terminated array of words.
void addWords(QORSearchableList<QORString, QORStringRef>& list,
              const char* const* words)
{
    for (; words != nullptr && *words != nullptr; words++)
        appendCopy<QORString>(list, *words, -1);
}

const char* const kBooleanWords[] = {"yes", "true", "no", "false", nullptr};

} // namespace

QORConfigData::~QORConfigData() {}

bool QORConfigData::isMultiValued() const
{
    return false;
}

QORStatus QORConfigData::setFromLCP(const QORLCPStringRef& text)
{
    QORCPToUTF8Converter conv(qor_config_local_cs());
    QORString utf8;
    QORStatus st = conv.convert(utf8, text.data(), text.length());
    if (st != qor_s_ok)
        return st;
    return setValue(QORStringRef(utf8));
}

QORStatus QORConfigData::setFromUTF8(const QORStringRef& text)
{
    QORUTF8ToCPConverter conv(qor_config_local_cs());
    QORLCPString lcp;
    QORStatus st = conv.convert(lcp, text.data(), text.length());
    if (st != qor_s_ok)
        return st;
    return setLCPValue(QORLCPStringRef(lcp));
}

QORConfigEnum::QORConfigEnum(const char* const* values)
    : m_allowed(nullptr, true)
{
    addWords(m_allowed, values);
}

QORConfigEnum::QORConfigEnum(const QORList<QORString>& values)
    : m_allowed(nullptr, true)
{
    for (const QORString* v : values)
        appendCopy<QORString>(m_allowed, v->data(), v->length());
}

QORConfigEnum::~QORConfigEnum() {}

QORStatus QORConfigEnum::setValue(const QORStringRef& text)
{
    QORList<QORString>::Iterator it = m_allowed.find(text);
    if (!it.isValid())
        return qor_s_config_value_invalid;
    m_value = it.get();
    m_index = it.index();
    m_isSet = true;
    return qor_s_ok;
}

QORStatus QORConfigEnum::setLCPValue(const QORLCPStringRef& text)
{
    return setFromLCP(text);
}

QORConfigBoolean::QORConfigBoolean()
    : QORConfigEnum(kBooleanWords)
{
}

QORStatus QORConfigBoolean::setValue(const QORStringRef& text)
{
    QORStatus st = QORConfigEnum::setValue(text);
    if (st != qor_s_ok)
        return st;
    // "yes" and "true" come first.
    m_bool = m_index < 2;
    return qor_s_ok;
}

QORStatus QORConfigBoolean::setLCPValue(const QORLCPStringRef& text)
{
    return setFromLCP(text);
}

const char* QORConfigBoolean::toString(bool value)
{
    return value ? "true" : "false";
}

QORStatus QORConfigInt::parse(const QORStringRef& text, int* out)
{
    const char* s = text.c_str();
    if (s == nullptr)
        return qor_s_no_memory;
    // strtoll rather than strtol so that the 32-bit bound is the same with
    // a 64-bit long.
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 0);
    bool range = errno == ERANGE || v > INT32_MAX || v < INT32_MIN;
    *out = range ? (v < 0 ? INT32_MIN : INT32_MAX) : static_cast<int>(v);
    if (range)
        return qor_s_config_value_invalid;
    // Text that is not all consumed must be white space.
    for (const char* p = end; p < s + text.length(); p++) {
        if (!isspace(static_cast<unsigned char>(*p)))
            return qor_s_config_value_invalid;
    }
    return qor_s_ok;
}

QORStatus QORConfigInt::setValue(const QORStringRef& text)
{
    int v = 0;
    QORStatus st = parse(text, &v);
    m_value = v;
    if (st != qor_s_ok)
        return st;
    m_isSet = true;
    return qor_s_ok;
}

QORStatus QORConfigInt::setLCPValue(const QORLCPStringRef& text)
{
    return setFromLCP(text);
}

const char* QORConfigInt::toString(int value, char* buf)
{
    snprintf(buf, 64, "%d", value);
    return buf;
}

template <class S>
QORConfigMultiOf<S>::QORConfigMultiOf(bool ignoreCommas)
    : m_values(nullptr, true)
    , m_iterator(m_values.begin())
    , m_ignoreCommas(ignoreCommas)
{
}

template <class S>
QORStatus QORConfigMultiOf<S>::append(const char* text, int length)
{
    QORStatus st = appendValues(m_joined, m_values, m_ignoreCommas, text, length);
    resetIterator();
    if (st != qor_s_ok) {
        QOR_REPORT_SUB(qor_svc_config_mgr, st);
        return st;
    }
    m_isSet = true;
    return qor_s_ok;
}

template <class S>
QORStatus QORConfigMultiOf<S>::setValue(const QORStringRef& text)
{
    return QORConfigCodeSet<S>::kUTF8 ? append(text.data(), text.length()) : setFromUTF8(text);
}

template <class S>
QORStatus QORConfigMultiOf<S>::setLCPValue(const QORLCPStringRef& text)
{
    return QORConfigCodeSet<S>::kUTF8 ? setFromLCP(text) : append(text.data(), text.length());
}

template <class S>
bool QORConfigMultiOf<S>::next(Ref* value)
{
    if (!m_iterator.isValid())
        return false;
    value->set(*m_iterator.get());
    m_iterator.next();
    return true;
}

template class QORConfigMultiOf<QORString>;
template class QORConfigMultiOf<QORLCPString>;

QORStatus QORConfigMVInt::setValue(const QORStringRef& text)
{
    QORStatus st = QORConfigMultiValue::setValue(text);
    if (st != qor_s_ok)
        return st;
    m_invalid = false;
    int v;
    while (next(&v)) {
    }
    resetIterator();
    if (m_invalid) {
        m_isSet = false;
        return qor_s_invalid_argument;
    }
    return qor_s_ok;
}

QORStatus QORConfigMVInt::setLCPValue(const QORLCPStringRef& text)
{
    return setFromLCP(text);
}

bool QORConfigMVInt::next(int* value)
{
    QORStringRef text;
    if (!QORConfigMultiValue::next(&text))
        return false;
    if (QORConfigInt::parse(text, value) != qor_s_ok)
        m_invalid = true;
    return true;
}

QORConfigMVEnum::QORConfigMVEnum(const char* const* values)
    : m_allowed(nullptr, true)
    , m_enums(nullptr, true)
    , m_enumIterator(m_enums.begin())
{
    addWords(m_allowed, values);
}

QORConfigMVEnum::~QORConfigMVEnum() {}

QORStatus QORConfigMVEnum::setValue(const QORStringRef& text)
{
    QORStatus st = QORConfigMultiValue::setValue(text);
    if (st != qor_s_ok)
        return st;
    // One enumeration object per value: the list is made again from every
    // value, those of earlier texts included.
    m_enums.delEntries();
    m_isSet = false;
    QORStringRef value;
    st = qor_s_ok;
    while (QORConfigMultiValue::next(&value)) {
        if (!m_allowed.find(value).isValid()) {
            st = qor_s_config_value_invalid;
            break;
        }
        QORConfigEnum* e = qor_new<QORConfigEnum>(nullptr, m_allowed);
        if (e == nullptr || e->setValue(value) != qor_s_ok
            || m_enums.add(e) != qor_s_ok) {
            qor_delete(e);
            QOR_REPORT_SUB(qor_svc_config_mgr, qor_s_no_memory);
            st = qor_s_no_memory;
            break;
        }
    }
    resetIterator();
    m_isSet = st == qor_s_ok;
    return st;
}

QORStatus QORConfigMVEnum::setLCPValue(const QORLCPStringRef& text)
{
    return setFromLCP(text);
}

void QORConfigMVEnum::resetIterator()
{
    QORConfigMultiValue::resetIterator();
    m_enumIterator = m_enums.begin();
}

bool QORConfigMVEnum::next(QORConfigEnum** value)
{
    if (!m_enumIterator.isValid())
        return false;
    *value = m_enumIterator.get();
    m_enumIterator.next();
    return true;
}
