// qorbuffercursor.h: QORBufferCursor, the one checking reader of untrusted
// bytes. Parsers advance while they scan, commit when an element has been
// accepted and roll back when it has not, so a rejected element leaves the
// cursor where it was. Advancing past the end is a programming error and
// stops the process: callers check remaining() first.
#pragma once
#include "core/system/qorassert.h"

class QORBufferCursor {
public:
    QORBufferCursor()
        : QORBufferCursor(nullptr, 0)
    {
    }
    QORBufferCursor(const char* data, int length)
        : m_mark(data)
        , m_markRemaining(length)
        , m_current(data)
        , m_remaining(length)
    {
        QOR_ASSERT(m_remaining >= 0);
    }

    void advance(int n = 1)
    {
        m_current += n;
        m_remaining -= n;
        QOR_ASSERT(m_remaining >= 0);
    }
    void commit()
    {
        m_mark = m_current;
        m_markRemaining = m_remaining;
    }
    void rollback()
    {
        m_current = m_mark;
        m_remaining = m_markRemaining;
    }

    const char* current() const { return m_current; }
    const char* mark() const { return m_mark; }
    int remaining() const { return m_remaining; }
    bool atEnd() const { return m_remaining <= 0; }
    // Bytes advanced since the last commit.
    int sinceMark() const { return m_markRemaining - m_remaining; }
    // The byte at offset i from the current position, or -1 past the end.
    int peek(int i = 0) const
    {
        return i >= 0 && i < m_remaining
                   ? static_cast<unsigned char>(m_current[i])
                   : -1;
    }

private:
    const char* m_mark;
    int m_markRemaining;
    const char* m_current;
    int m_remaining;
};
