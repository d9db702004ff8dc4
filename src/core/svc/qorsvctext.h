// qorsvctext.h: the growable byte string that serviceability records are
// built in, and the code-set conversions that never lose a record: a
// character the target code set cannot hold, or a byte that does not decode,
// becomes '?'.
#pragma once
#include <cstdarg>
#include <cstddef>
#include "core/platform/qorlox.h"

class QORSvcText {
public:
    QORSvcText() = default;
    ~QORSvcText();
    QORSvcText(const QORSvcText&) = delete;
    QORSvcText& operator=(const QORSvcText&) = delete;

    // Every append returns false once memory has failed; the text is then
    // left as it was before the failing append and failed() stays true.
    bool append(const char* s, size_t n);
    bool append(const char* s);
    bool append(char c) { return append(&c, 1); }
    // Formats in UTF-8 with the library's formatter.
    bool appendf(const char* format, ...);
    // CDATA content: "]]>" is split across two sections.
    bool appendCData(const char* s, size_t n);
    // Attribute value or element text: & < > " escaped.
    bool appendEscaped(const char* s);
    // Converts n bytes in from (UTF-8 to or from cs) and appends them.
    bool appendToUTF8(lox_cs_t from, const char* s, size_t n);
    bool appendFromUTF8(lox_cs_t to, const char* s, size_t n);

    const char* data() const { return m_data ? m_data : ""; }
    size_t size() const { return m_size; }
    bool failed() const { return m_failed; }
    void clear() { m_size = 0; }
    // Hands the zero-terminated buffer (free() it) to the caller; null when
    // memory failed.
    char* release();

private:
    bool reserve(size_t extra);

    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};
