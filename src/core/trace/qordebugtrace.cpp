// qordebugtrace.cpp: bound trace calls.
#include "core/trace/qordebugtrace.h"

namespace {
const char kUnknownFile[] = "<unknown>";
}

QORDebugTrace::QORDebugTrace(QORTrace* trace, unsigned level)
    : QORDebugTrace(trace, level, kUnknownFile, 0)
{
}

QORDebugTrace::QORDebugTrace(QORTrace* trace, unsigned level, const char* file,
                             unsigned line)
    : m_trace(trace)
    , m_level(level)
    , m_file(file ? file : kUnknownFile)
    , m_line(line)
{
}

QORDebugTrace::QORDebugTrace(QORTrace* trace, unsigned level,
                             const char* format, ...)
    : QORDebugTrace(trace, level, kUnknownFile, 0)
{
    if (m_trace == nullptr || !m_trace->isEnabled(m_level))
        return;
    va_list args;
    va_start(args, format);
    m_trace->vftrace(m_level, m_file, m_line, format, args);
    va_end(args);
}

QORDebugTrace::QORDebugTrace(QORTrace* trace, unsigned level, const char* file,
                             unsigned line, const char* format, ...)
    : QORDebugTrace(trace, level, file, line)
{
    if (m_trace == nullptr || !m_trace->isEnabled(m_level))
        return;
    va_list args;
    va_start(args, format);
    m_trace->vftrace(m_level, m_file, m_line, format, args);
    va_end(args);
}

QORDebugTrace::~QORDebugTrace() {}

void QORDebugTrace::trace(const char* format, ...)
{
    if (m_trace == nullptr || !m_trace->isEnabled(m_level))
        return;
    va_list args;
    va_start(args, format);
    m_trace->vftrace(m_level, m_file, m_line, format, args);
    va_end(args);
}
