// qordebugroutinetrace.cpp: routine entry and exit traces, the per-thread
// nesting counter and the shared blanks the indentation is cut from.
#include "core/trace/qordebugroutinetrace.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "core/sundry/qorsnprintf.h"
#include "core/threads/qorthread.h"
#include "core/threads/qorthreadkey.h"

namespace {

const char kUnknownFile[] = "<unknown>";
const unsigned kBlanksPerLevel = 4;
// Levels of blanks made beyond the deepest one asked for.
const unsigned kSpareLevels = 32;


// The nesting depth is kept as the thread-specific value itself.
QORThreadKey gNestingKey;
pthread_once_t gShutdownOnce = PTHREAD_ONCE_INIT;

// One run of blanks shared by all threads: an indent of k levels is its last
// k * 4 blanks. A longer run replaces it when a deeper level is needed; the
// replaced ones stay valid (other threads may be printing from them) until
// shutdown.
struct Blanks {
    Blanks* previous;
    unsigned levels;
    char* text;
};

std::atomic<Blanks*> gBlanks{nullptr};
pthread_mutex_t gBlanksLock = PTHREAD_MUTEX_INITIALIZER;

// Blanks for at least levels levels; the current ones when that fails.
Blanks* growBlanks(unsigned levels)
{
    QORMutexLock lock(gBlanksLock);
    Blanks* current = gBlanks.load(std::memory_order_relaxed);
    if (current != nullptr && current->levels >= levels)
        return current;
    unsigned want = levels + kSpareLevels;
    Blanks* b = static_cast<Blanks*>(malloc(sizeof(Blanks)));
    char* text = static_cast<char*>(malloc(want * kBlanksPerLevel + 1));
    if (b == nullptr || text == nullptr) {
        free(b);
        free(text);
        return current;
    }
    memset(text, ' ', want * kBlanksPerLevel);
    text[want * kBlanksPerLevel] = '\0';
    b->previous = current;
    b->levels = want;
    b->text = text;
    gBlanks.store(b, std::memory_order_release);
    return b;
}

void freeBlanks()
{
    QORMutexLock lock(gBlanksLock);
    Blanks* b = gBlanks.exchange(nullptr);
    while (b != nullptr) {
        Blanks* previous = b->previous;
        free(b->text);
        free(b);
        b = previous;
    }
}

void deleteKey()
{
    gNestingKey.remove();
    freeBlanks();
}

} // namespace

QORDebugRoutineTrace::QORDebugRoutineTrace(QORTrace* trace, unsigned level,
                                           const char* routine,
                                           const char* detail)
    : QORDebugRoutineTrace(trace, level, kUnknownFile, 0, routine, detail)
{
}

QORDebugRoutineTrace::QORDebugRoutineTrace(QORTrace* trace, unsigned level,
                                           const char* file, unsigned line,
                                           const char* routine,
                                           const char* detail)
    : m_trace(trace)
    , m_level(level)
    , m_file(file ? file : kUnknownFile)
    , m_line(line)
    , m_routine(routine ? routine : "")
    , m_detail(detail)
{
    if (m_trace != nullptr && m_trace->isEnabled(m_level))
        enter();
}

void QORDebugRoutineTrace::enter()
{
    incrementNestingLevel();
    m_incremented = true;
    const char* indent = indentSpace();
    if (m_detail == nullptr) {
        m_trace->ftrace(m_level, m_file, m_line, "API ENTRY: %s%s", indent,
                        m_routine);
        return;
    }
    int n = qor_asprintf_utf8(&m_entryFormat, "API ENTRY: %s%s%s%s", indent,
                              m_routine, ": ", m_detail);
    if (n >= 0)
        m_trace->trace(m_level, m_file, m_line, m_entryFormat, n);
}

QORDebugRoutineTrace::~QORDebugRoutineTrace()
{
    if (m_trace != nullptr && m_trace->isEnabled(m_level)) {
        const char* indent = indentSpace();
        if (m_detail == nullptr)
            m_trace->ftrace(m_level, m_file, m_line, "API EXIT:  %s%s", indent,
                            m_routine);
        else
            m_trace->ftrace(m_level, m_file, m_line, "API EXIT:  %s%s: %s",
                            indent, m_routine, m_detail);
    }
    if (m_incremented)
        decrementNestingLevel();
    qor_asprintf_free(m_entryFormat);
}

int QORDebugRoutineTrace::nestingLevel() const
{
    if (!gNestingKey.ready())
        return 0;
    return static_cast<int>(
        reinterpret_cast<intptr_t>(gNestingKey.get()));
}

void QORDebugRoutineTrace::incrementNestingLevel()
{
    if (!gNestingKey.ready())
        return;
    intptr_t n = nestingLevel() + 1;
    gNestingKey.set(reinterpret_cast<void*>(n));
}

void QORDebugRoutineTrace::decrementNestingLevel()
{
    int n = nestingLevel();
    if (n <= 0)
        return;
    gNestingKey.set(reinterpret_cast<void*>(static_cast<intptr_t>(n - 1)));
}

const char* QORDebugRoutineTrace::indentSpace()
{
    int n = nestingLevel();
    if (n <= 1)
        return "";
    unsigned levels = static_cast<unsigned>(n - 1);
    Blanks* b = gBlanks.load(std::memory_order_acquire);
    if (b == nullptr || b->levels < levels)
        b = growBlanks(levels);
    if (b == nullptr)
        return "";
    if (levels > b->levels)
        levels = b->levels;
    return b->text + (b->levels - levels) * kBlanksPerLevel;
}

void QORDebugRoutineTrace::shutdown()
{
    pthread_once(&gShutdownOnce, deleteKey);
}
