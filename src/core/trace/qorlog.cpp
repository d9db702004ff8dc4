// qorlog.cpp: the base log sink: encoding of the text for the sink, the
// stamped line, the time string.
#include "core/trace/qorlog.h"

#include <pthread.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "core/buffers/qorconverter.h"
#include "core/platform/qorlox.h"
#include "core/sundry/qorsnprintf.h"
#include "core/svc/qorsvc.h"

const char* const QORLog::severityName[qor_log_severity_count] = {
    "INFO",    "WARNING", "ERROR",   "TRACE 0", "TRACE 1",
    "TRACE 2", "TRACE 3", "TRACE 4", "TRACE 5", "TRACE 6",
    "TRACE 7", "TRACE 8", "TRACE 9",
};

namespace {

// The formats log readers expect. The flag ' ' and '0' with a precision do
// nothing on %u, and the compiler says so (silenced where they are used).
const char kTimeFormat[] =
    "%04.4u-%02.2u-%02.2u-%02.2u:%02.2u:%02.2u.%03.3u%c%02.2u:%02.2u";
const char kLineFormat[] = "%s %s %s %s %u % 8u % 8u %.*s\n";

const char* orEmpty(const char* s)
{
    return s != nullptr ? s : "";
}

bool isAscii(const char* s, int n)
{
    for (int i = 0; i < n; i++) {
        if (static_cast<unsigned char>(s[i]) >= 0x80)
            return false;
    }
    return true;
}

// Character by character, for text the whole-string converter refused: a
// character that does not decode or has no form in the target becomes '?',
// so that a line is never lost for one bad byte.
bool replaceConvert(lox_cs_t from, lox_cs_t to, const char* s, int n,
                    QORStringT<char>& out)
{
    out.clear();
    int pos = 0;
    while (pos < n) {
        lox_unichar_t wc;
        char mb[LOX_MB_LEN_MAX];
        int used = lox_mbtowc(from, &wc, s + pos, static_cast<size_t>(n - pos));
        int made = used > 0 ? lox_wctomb(to, mb, wc) : -1;
        if (used <= 0) {
            // Skip the rest of a bad UTF-8 sequence with it.
            used = 1;
            while (lox_cs_is_utf8(from) && pos + used < n &&
                   (static_cast<unsigned char>(s[pos + used]) & 0xc0) == 0x80)
                used++;
        }
        bool ok = made > 0 ? out.append(mb, made) : out.append('?');
        if (!ok)
            return false;
        pos += used;
    }
    return true;
}

// Converts text between the library's UTF-8 and the local code page. Text
// that needs no conversion is handed on as it is (out stays unused); the
// result is false only when memory failed.
bool toSinkEncoding(bool toUTF8, const QORStringRefT<char>& text,
                    QORStringT<char>& out, QORStringRefT<char>& result)
{
    result = text;
    lox_cs_t local = qorsvc_get_local_cs();
    if (local == nullptr)
        local = lox_cs_local();
    lox_cs_t utf8 = lox_cs_utf8();
    // Every code set we serve agrees with ASCII on the 7-bit characters.
    if (local == nullptr || lox_cs_is_utf8(local) ||
        isAscii(text.data(), text.length()))
        return true;
    QORStatus st;
    if (toUTF8) {
        QORCPToUTF8Converter conv(local);
        st = conv.convert(out, text.data(), text.length());
        if (st != qor_s_ok && !replaceConvert(local, utf8, text.data(),
                                              text.length(), out))
            return false;
    } else {
        QORUTF8ToCPConverter conv(local);
        st = conv.convert(out, text.data(), text.length());
        if (st != qor_s_ok && !replaceConvert(utf8, local, text.data(),
                                              text.length(), out))
            return false;
    }
    result.set(out.data(), out.length());
    return true;
}

} // namespace

QORLog::QORLog(bool utf8)
    : m_utf8(utf8)
{
}

QORLog::~QORLog() {}

void QORLog::log(QORLogSeverity severity, const char* file, unsigned line,
                 const char* component, const QORStringRef& text)
{
    if (m_utf8) {
        logImpl(severity, file, line, component, text);
        return;
    }
    QORLCPString converted;
    QORStringRefT<char> result;
    if (toSinkEncoding(false, text, converted, result))
        logImpl(severity, file, line, component, result);
}

void QORLog::log(QORLogSeverity severity, const char* file, unsigned line,
                 const char* component, const QORLCPStringRef& text)
{
    if (!m_utf8) {
        logImpl(severity, file, line, component, text);
        return;
    }
    QORString converted;
    QORStringRefT<char> result;
    if (toSinkEncoding(true, text, converted, result))
        logImpl(severity, file, line, component, result);
}

void QORLog::log(QORLogSeverity severity, const char* file, unsigned line,
                 const char* component, const char* text, int len)
{
    log(severity, file, line, component, QORStringRef(text, len));
}

void QORLog::logLCP(QORLogSeverity severity, const char* file, unsigned line,
                    const char* component, const char* text, int len)
{
    log(severity, file, line, component, QORLCPStringRef(text, len));
}

void QORLog::flog(QORLogSeverity severity, const char* file, unsigned line,
                  const char* component, const char* format, va_list args)
{
    char* text = nullptr;
    int n = qor_vasprintf_utf8(&text, format, args);
    if (n < 0)
        return;
    log(severity, file, line, component, text, n);
    qor_asprintf_free(text);
}

void QORLog::flog(QORLogSeverity severity, const char* file, unsigned line,
                  const char* component, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    flog(severity, file, line, component, format, args);
    va_end(args);
}

void QORLog::flogLCP(QORLogSeverity severity, const char* file, unsigned line,
                     const char* component, const char* format, va_list args)
{
    char* text = nullptr;
    int n = qor_vasprintf_lcp(&text, format, args);
    if (n < 0)
        return;
    logLCP(severity, file, line, component, text, n);
    qor_asprintf_free(text);
}

void QORLog::flogLCP(QORLogSeverity severity, const char* file, unsigned line,
                     const char* component, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    flogLCP(severity, file, line, component, format, args);
    va_end(args);
}

void QORLog::logImpl(QORLogSeverity severity, const char* file, unsigned line,
                     const char* component, const QORStringRefT<char>& text)
{
    writeLine(stdout, severity, file, line, component, text);
}

const char* QORLog::severityText(QORLogSeverity severity)
{
    return severity < qor_log_severity_count ? severityName[severity]
                                             : "UNKNOWN";
}

void QORLog::getTimeString(char* buffer, size_t size)
{
    struct timeval now;
    struct tm tm;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &tm);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    snprintf(buffer, size, kTimeFormat,
             static_cast<unsigned>(tm.tm_year + 1900),
             static_cast<unsigned>(tm.tm_mon + 1),
             static_cast<unsigned>(tm.tm_mday),
             static_cast<unsigned>(tm.tm_hour),
             static_cast<unsigned>(tm.tm_min),
             static_cast<unsigned>(tm.tm_sec),
             static_cast<unsigned>((now.tv_usec / 1000) % 1000), '+', 0u, 0u);
#pragma GCC diagnostic pop
}

void QORLog::writeLine(FILE* stream, QORLogSeverity severity, const char* file,
                       unsigned line, const char* component,
                       const QORStringRefT<char>& text)
{
    char stamp[kTimeStringSize];
    getTimeString(stamp, sizeof stamp);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    fprintf(stream, kLineFormat, stamp,
            orEmpty(component), severityText(severity), orEmpty(file), line,
            static_cast<unsigned>(getpid()),
            static_cast<unsigned>(pthread_self()), text.length(), text.data());
#pragma GCC diagnostic pop
}
