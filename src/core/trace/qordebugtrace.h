// qordebugtrace.h: QORDebugTrace, a trace call bound to a component, a
// level and a source position, for code that traces several lines at the
// same level or one line at once.
#pragma once
#include "core/trace/qortrace.h"

class QORDebugTrace {
public:
    // Stores the arguments; the trace may be null (nothing is written).
    QORDebugTrace(QORTrace* trace, unsigned level);
    QORDebugTrace(QORTrace* trace, unsigned level, const char* file,
                  unsigned line);
    // Trace the formatted line at once, the first form at "<unknown>" line 0.
    // Beware: a format with one integer argument, (trace, level, "n=%d", n),
    // selects the (file, line) constructor above and traces nothing; give
    // the file and line, or use QOR_FTRACE.
    QORDebugTrace(QORTrace* trace, unsigned level, const char* format, ...);
    QORDebugTrace(QORTrace* trace, unsigned level, const char* file,
                  unsigned line, const char* format, ...);
    virtual ~QORDebugTrace();

    // Formats and traces at the stored level, file and line.
    virtual void trace(const char* format, ...);

private:
    QORTrace* m_trace;
    unsigned m_level;
    const char* m_file;
    unsigned m_line;
};
