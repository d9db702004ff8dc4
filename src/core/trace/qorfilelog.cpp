// qorfilelog.cpp: the file sink.
#include "core/trace/qorfilelog.h"

#include <unistd.h>

#include "core/system/qorlogopen.h"

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
    // Appending, kept from the server's child processes, never through a
    // link: the process may run as root in a directory others can write.
    int created = 0;
    int fd = qor_file_open_log(path, 0, 0666, &created);
    if (fd == -1)
        return false;
    FILE* f = fdopen(fd, "a");
    if (f == nullptr) {
        ::close(fd);
        return false;
    }
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
