// qordebugroutinetrace.h: QORDebugRoutineTrace, a scoped trace of a
// routine's entry and exit, indented by the depth of the calls traced so
// far on the calling thread:
//   API ENTRY: outer
//   API ENTRY:     inner: detail
//   API EXIT:      inner: detail
//   API EXIT:  outer
#pragma once
#include "core/trace/qortrace.h"

class QORDebugRoutineTrace {
public:
    // When trace admits level: counts one more nesting level on this thread
    // and traces "API ENTRY: " with the indent, the routine and, when
    // detail is not null, ": " and the detail. The strings must outlive the
    // object; trace may be null.
    QORDebugRoutineTrace(QORTrace* trace, unsigned level, const char* routine,
                         const char* detail = nullptr);
    QORDebugRoutineTrace(QORTrace* trace, unsigned level, const char* file,
                         unsigned line, const char* routine,
                         const char* detail = nullptr);
    // When trace admits level: traces "API EXIT:  " likewise; then gives
    // back the nesting level the constructor counted, if it did.
    virtual ~QORDebugRoutineTrace();
    QORDebugRoutineTrace(const QORDebugRoutineTrace&) = delete;
    QORDebugRoutineTrace& operator=(const QORDebugRoutineTrace&) = delete;

    // The calling thread's depth of traced routines (0 outside any).
    virtual int nestingLevel() const;
    virtual void incrementNestingLevel();
    // Never goes below 0.
    virtual void decrementNestingLevel();
    // Four blanks per nesting level beyond the first; the deepest available
    // indentation if the blanks for a deeper one cannot be had.
    virtual const char* indentSpace();

    // Deletes the nesting key and frees the shared blanks; routine traces
    // still work afterwards, without indentation. Runs once per process.
    static void shutdown();

private:
    void enter();

    QORTrace* m_trace;
    unsigned m_level;
    const char* m_file;
    unsigned m_line;
    const char* m_routine;
    const char* m_detail;
    char* m_entryFormat = nullptr;
    bool m_incremented = false;
};

#define QOR_ROUTINE_TRACE_NAME2(line) qor_routine_trace_##line
#define QOR_ROUTINE_TRACE_NAME(line) QOR_ROUTINE_TRACE_NAME2(line)

// Traces the entry now and the exit at the end of the enclosing scope, at
// the caller's file and line.
#define QOR_ROUTINE_TRACE(trace, level, ...)                                 \
    QORDebugRoutineTrace QOR_ROUTINE_TRACE_NAME(__LINE__)((trace), (level),  \
                                                          __FILE__, __LINE__, \
                                                          __VA_ARGS__)
