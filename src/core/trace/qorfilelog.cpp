// qorfilelog.cpp: the file sink.
#include "core/trace/qorfilelog.h"

QORFileLog::QORFileLog()
    : QORLog(false)
{
}

QORFileLog::QORFileLog(const char* path)
    : QORLog(false)
{
    open(path);
}

QORFileLog::QORFileLog(const QORLCPStringRef& path)
    : QORLog(false)
{
    // The view need not be terminated; c_str makes it so (null: no memory).
    open(path.c_str());
}

QORFileLog::~QORFileLog()
{
    close();
}

bool QORFileLog::open(const char* path)
{
    close();
    if (path == nullptr)
        return false;
    // Appending; "e" keeps the descriptor from the server's child processes.
    FILE* f = fopen(path, "ae");
    if (f == nullptr)
        return false;
    setbuf(f, nullptr);
    m_file = f;
    return true;
}

void QORFileLog::close()
{
    if (m_file == nullptr)
        return;
    fclose(m_file);
    m_file = nullptr;
}

void QORFileLog::logImpl(QORLogSeverity severity, const char* file,
                         unsigned line, const char* component,
                         const QORStringRefT<char>& text)
{
    if (m_file == nullptr)
        return;
    writeLine(m_file, severity, file, line, component, text);
}
