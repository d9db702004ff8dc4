// qorscopedlocale.h: QORScopedCtypeLocale switches the process's LC_CTYPE for
// one scope and gives it back, resetting the local code set both times. For
// tests and command-line tools; a library serving requests never changes the
// process locale.
#pragma once
#include <clocale>
#include <string>
#include "core/platform/qorlox.h"

class QORScopedCtypeLocale {
public:
    explicit QORScopedCtypeLocale(const char* name)
    {
        const char* old = setlocale(LC_CTYPE, nullptr);
        m_old = old ? old : "C";
        m_ok = setlocale(LC_CTYPE, name) != nullptr;
        lox_cs_local_reset();
    }
    ~QORScopedCtypeLocale()
    {
        setlocale(LC_CTYPE, m_old.c_str());
        lox_cs_local_reset();
    }
    QORScopedCtypeLocale(const QORScopedCtypeLocale&) = delete;
    QORScopedCtypeLocale& operator=(const QORScopedCtypeLocale&) = delete;

    // False when the locale is not installed (the old one is then kept).
    bool ok() const { return m_ok; }

private:
    std::string m_old;
    bool m_ok;
};
