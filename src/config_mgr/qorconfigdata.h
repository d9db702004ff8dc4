// qorconfigdata.h: typed configuration values. The configuration manager
// (config_mgr/qorconfigmgr.h) reads the text of an entry from a stanza file
// and hands it to one of these objects, which parses and checks it; callers
// then read the typed value. Single-valued kinds keep the last value set;
// multi-valued kinds add the values of every text they are given.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/list/qorsearchablelist.h"
#include "core/platform/qorlox.h"
#include "config_mgr/qorconfigstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
// The code set that configuration text arrives in: the process's local code
// page.
lox_cs_t qor_config_local_cs();

// Splits text at every comma the way multi-valued entries are read: blanks
// (the space character only) before each piece are skipped, a piece keeps
// its trailing blanks, two commas in a row give an empty piece, a trailing
// comma gives a final empty piece, and a text of blanks only gives no piece.
// There is no quoting or escaping. Calls piece(data, length) for each piece
// in order and stops at the first nonzero status it returns.
template <class F>
QORStatus qor_config_split(const char* text, int length, F piece)
{
    int i = 0;
    while (i < length && text[i] == ' ')
        i++;
    if (i == length)
        return qor_s_ok;
    for (;;) {
        int start = i;
        while (i < length && text[i] != ',')
            i++;
        QORStatus st = piece(text + start, i - start);
        if (st != qor_s_ok)
            return st;
        if (i == length)
            return qor_s_ok;
        i++;
        while (i < length && text[i] == ' ')
            i++;
    }
}

class QORConfigData {
public:
    QORConfigData() {}
    QORConfigData(const QORConfigData&) = delete;
    QORConfigData& operator=(const QORConfigData&) = delete;
    virtual ~QORConfigData();

    // Parses text in UTF-8 / in the local code page. 0 when the value was
    // accepted; a refused value leaves the object as it was and usable.
    virtual QORStatus setValue(const QORStringRef& text) = 0;
    virtual QORStatus setLCPValue(const QORLCPStringRef& text) = 0;
    // True for the kinds that collect every line of an entry.
    virtual bool isMultiValued() const;

    // A value was accepted.
    bool isSet() const { return m_isSet; }
    // The value came from the schema entry's default.
    bool isDefault() const { return m_isDefault; }
    // Called by the manager after it applied a default.
    void markDefault() { m_isDefault = true; }

protected:
    // The two halves of every pair of setters: convert, then call the other.
    QORStatus setFromLCP(const QORLCPStringRef& text);
    QORStatus setFromUTF8(const QORStringRef& text);

    bool m_isSet = false;
    bool m_isDefault = false;
};

// One of a fixed list of words, matched exactly (case and length).
class QORConfigEnum : public QORConfigData {
public:
    // values: a null-terminated array of UTF-8 words, kept in order.
    explicit QORConfigEnum(const char* const* values);
    explicit QORConfigEnum(const QORList<QORString>& values);
    ~QORConfigEnum() override;

    // XLTIC0962E when text is none of the words; the previous value stays.
    QORStatus setValue(const QORStringRef& text) override;
    QORStatus setLCPValue(const QORLCPStringRef& text) override;

    // The matched word and its position from 0; read only after a
    // successful set.
    const char* getValue() const { return m_value ? m_value->c_str() : nullptr; }
    int getIndex() const { return m_index; }

protected:
    QORSearchableList<QORString, QORStringRef> m_allowed;
    const QORString* m_value = nullptr;
    int m_index = -1;
};

// "yes" and "true" are true, "no" and "false" are false; nothing else, in
// no other letter case.
class QORConfigBoolean : public QORConfigEnum {
public:
    QORConfigBoolean();

    QORStatus setValue(const QORStringRef& text) override;
    QORStatus setLCPValue(const QORLCPStringRef& text) override;

    bool getValue() const { return m_bool; }
    // "true" or "false".
    static const char* toString(bool value);

private:
    bool m_bool = false;
};

// A signed 32-bit integer in decimal, 0x hexadecimal or 0 octal, with
// optional blanks around it.
class QORConfigInt : public QORConfigData {
public:
    QORConfigInt() {}

    // XLTIC0962E for a number outside the 32-bit range or text after it.
    // An empty text is 0.
    QORStatus setValue(const QORStringRef& text) override;
    QORStatus setLCPValue(const QORLCPStringRef& text) override;

    int getValue() const { return m_value; }
    // Formats value with "%d" into buf (64 bytes); returns buf.
    static const char* toString(int value, char* buf);
    // The parse behind setValue: 0 and the number, or XLTIC0962E (*out
    // then holds what was parsed).
    static QORStatus parse(const QORStringRef& text, int* out);

private:
    int m_value = 0;
};

// The two code sets configuration values are kept in: QORString values in
// UTF-8, QORLCPString values in the local code page. Text that arrives in
// the other one is converted first.
template <class S>
struct QORConfigCodeSet;
template <>
struct QORConfigCodeSet<QORString> {
    typedef QORStringRef Ref;
    static constexpr bool kUTF8 = true;
};
template <>
struct QORConfigCodeSet<QORLCPString> {
    typedef QORLCPStringRef Ref;
    static constexpr bool kUTF8 = false;
};

// Any text, kept in the code set of S.
template <class S>
class QORConfigTextOf : public QORConfigData {
public:
    typedef typename QORConfigCodeSet<S>::Ref Ref;

    QORConfigTextOf() {}

    // Always 0 for text in S's code set; when memory for the copy fails the
    // previous text stays. Text in the other one may fail to convert.
    QORStatus setValue(const QORStringRef& text) override
    {
        return QORConfigCodeSet<S>::kUTF8 ? keep(text.data(), text.length()) : setFromUTF8(text);
    }
    QORStatus setLCPValue(const QORLCPStringRef& text) override
    {
        return QORConfigCodeSet<S>::kUTF8 ? setFromLCP(text) : keep(text.data(), text.length());
    }

    const char* getValue() const { return m_value.c_str(); }

private:
    QORStatus keep(const char* text, int length)
    {
        m_value.set(Ref(text, length));
        m_isSet = true;
        return qor_s_ok;
    }

    S m_value;
};

typedef QORConfigTextOf<QORString> QORConfigString;
typedef QORConfigTextOf<QORLCPString> QORConfigLCPString;

// A list of values in the code set of S: every text set adds its
// comma-separated pieces (or, with ignoreCommas, the whole text) at the end.
template <class S>
class QORConfigMultiOf : public QORConfigData {
public:
    typedef typename QORConfigCodeSet<S>::Ref Ref;

    explicit QORConfigMultiOf(bool ignoreCommas = false);

    // Appends to the joined text and the list and moves the iterator back
    // to the first value. XLTIC0012E (also reported) when memory fails.
    QORStatus setValue(const QORStringRef& text) override;
    QORStatus setLCPValue(const QORLCPStringRef& text) override;
    bool isMultiValued() const override { return true; }

    // Every text received, joined with ",".
    const char* getValue() const { return m_joined.c_str(); }
    int entries() const { return m_values.entries(); }
    void resetIterator() { m_iterator = m_values.begin(); }
    // The value at the iterator, then advances; false past the last.
    bool next(Ref* value);

    bool ignoresCommas() const { return m_ignoreCommas; }
    void setIgnoreCommas(bool ignore) { m_ignoreCommas = ignore; }

protected:
    QORStatus append(const char* text, int length);

    S m_joined;
    QORList<S> m_values;
    typename QORList<S>::Iterator m_iterator;
    bool m_ignoreCommas;
};

extern template class QORConfigMultiOf<QORString>;
extern template class QORConfigMultiOf<QORLCPString>;
typedef QORConfigMultiOf<QORString> QORConfigMultiValue;
typedef QORConfigMultiOf<QORLCPString> QORConfigMultiLCPValue;

class QORConfigMVString : public QORConfigMultiValue {
public:
    explicit QORConfigMVString(bool ignoreCommas = false)
        : QORConfigMultiValue(ignoreCommas)
    {
    }
};

class QORConfigMVLCPString : public QORConfigMultiLCPValue {
public:
    explicit QORConfigMVLCPString(bool ignoreCommas = false)
        : QORConfigMultiLCPValue(ignoreCommas)
    {
    }
};

// A list of integers, each parsed as QORConfigInt parses.
class QORConfigMVInt : public QORConfigMultiValue {
public:
    QORConfigMVInt() {}

    // XLTIC0053E, and not set, when any value of the list is not a number.
    QORStatus setValue(const QORStringRef& text) override;
    QORStatus setLCPValue(const QORLCPStringRef& text) override;

    // Parses the value at the iterator into *value and advances (also past
    // a value that does not parse, which marks the list invalid); false
    // past the last.
    bool next(int* value);
    bool isInvalid() const { return m_invalid; }

private:
    bool m_invalid = false;
};

// A list of words, each one of a fixed list; one QORConfigEnum per value.
class QORConfigMVEnum : public QORConfigMultiValue {
public:
    // values: a null-terminated array of UTF-8 words.
    explicit QORConfigMVEnum(const char* const* values);
    ~QORConfigMVEnum() override;

    // XLTIC0962E, and not set, when a value is none of the words. The
    // enumeration objects are made again from the whole list on each call.
    QORStatus setValue(const QORStringRef& text) override;
    QORStatus setLCPValue(const QORLCPStringRef& text) override;

    // Moves both the value and the enumeration iterators to the start.
    void resetIterator();
    // The enumeration object at the iterator (owned by this object), then
    // advances; false past the last.
    bool next(QORConfigEnum** value);

private:
    QORSearchableList<QORString, QORStringRef> m_allowed;
    QORList<QORConfigEnum> m_enums;
    QORList<QORConfigEnum>::Iterator m_enumIterator;
};

QOR_EXPORT_END
