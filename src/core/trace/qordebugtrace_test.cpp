#include "core/trace/qordebugtrace.h"

#include <thread>
#include <gtest/gtest.h>

#include "core/trace/qordebugroutinetrace.h"
#include "qortestlog.h"

namespace {

typedef std::vector<std::string> Texts;

void nest(QORTrace* trace, int depth, int max)
{
    if (depth > max)
        return;
    std::string name = "r" + std::to_string(depth);
    QORDebugRoutineTrace rt(trace, 1, name.c_str());
    nest(trace, depth + 1, max);
}

} // namespace

TEST(QORDebugTrace, StoredAndImmediateForms)
{
    QORTestLog log(true);
    QORTrace trace(3, "c", &log);
    QORDebugTrace(&trace, 2, "x.cpp", 40).trace("value %d", 1);
    QORDebugTrace(&trace, 3).trace("%s", "plain");
    QORDebugTrace(&trace, 1, "now %s", "here");
    QORDebugTrace(&trace, 1, "y.cpp", 9, "at %s:%d", "y", 9);
    QORDebugTrace(&trace, 4, "z.cpp", 1).trace("dropped");
    QORDebugTrace(&trace, 4, "z.cpp", 2, "dropped %d", 2);
    QORDebugTrace(nullptr, 0, "null trace %s", "x").trace("again");
    EXPECT_EQ(log.texts(), (Texts{"[] value 1", "[] plain", "[] now here", "[] at y:9"}));
    std::string where;
    for (const QORTestLog::Record& l : log.records())
        where += l.file + ":" + std::to_string(l.line) + " ";
    EXPECT_EQ(where, "x.cpp:40 <unknown>:0 <unknown>:0 y.cpp:9 ");
    EXPECT_EQ(log.records()[0].severity, 5u);
}

TEST(QORDebugRoutineTrace, NestedRoutinesIndentByFourBlanksPerThread)
{
    QORTestLog log(true);
    QORTrace trace(9, "c", &log);
    nest(&trace, 1, 3);
    EXPECT_EQ(log.texts(), (Texts{"[] API ENTRY: r1", "[] API ENTRY:     r2",
                                  "[] API ENTRY:         r3", "[] API EXIT:          r3",
                                  "[] API EXIT:      r2", "[] API EXIT:  r1"}));
    // Past the blanks made at first: the shared run grows.
    log.clear();
    nest(&trace, 1, 80);
    ASSERT_EQ(log.records().size(), 160u);
    EXPECT_EQ(log.records()[79].text, "[] API ENTRY: " + std::string(79 * 4, ' ') + "r80");
    EXPECT_EQ(log.records()[80].text, "[] API EXIT:  " + std::string(79 * 4, ' ') + "r80");
    EXPECT_EQ(QORDebugRoutineTrace(&trace, 1, "after").nestingLevel(), 1);
    // Another thread's first routine trace starts at depth 1, unindented.
    QORDebugRoutineTrace outer(&trace, 1, "main");
    QORDebugRoutineTrace inner(&trace, 1, "main2");
    std::string seen;
    std::thread([&seen] {
        QORTestLog log(true);
        QORTrace trace(9, "t", &log);
        QORDebugRoutineTrace rt(&trace, 1, "threaded");
        seen = std::to_string(rt.nestingLevel()) + " " + log.records().at(0).text;
    }).join();
    EXPECT_EQ(seen, "1 [] API ENTRY: threaded");
    EXPECT_EQ(inner.nestingLevel(), 2);
}

TEST(QORDebugRoutineTrace, DetailFormsSourcePositionAndDroppedLevels)
{
    QORTestLog log(true);
    QORTrace trace(9, "c", &log);
    {
        QORDebugRoutineTrace outer(&trace, 2, "a.cpp", 5, "outer", "id=%d 100%");
        QOR_ROUTINE_TRACE(&trace, 2, "inner", "x");
    }
    EXPECT_EQ(log.texts(), (Texts{"[] API ENTRY: outer: id=%d 100%", "[] API ENTRY:     inner: x",
                                  "[] API EXIT:      inner: x",
                                  "[] API EXIT:  outer: id=%d 100%"}));
    EXPECT_EQ(log.records()[0].file + ":" + std::to_string(log.records()[0].line), "a.cpp:5");
    EXPECT_EQ(log.records()[0].severity, 5u);
    EXPECT_EQ(log.records()[1].file, __FILE__);

    // Routines at levels the trace drops do not nest.
    log.clear();
    trace.setLevel(2);
    {
        QORDebugRoutineTrace quiet(&trace, 5, "quiet");
        EXPECT_EQ(quiet.nestingLevel(), 0);
        QORDebugRoutineTrace loud(&trace, 2, "loud");
        EXPECT_EQ(loud.nestingLevel(), 1);
        // Raised while quiet is open: it traces its exit but gives back no
        // level it did not count.
        trace.setLevel(9);
    }
    EXPECT_EQ(log.texts(), (Texts{"[] API ENTRY: loud", "[] API EXIT:  loud",
                                  "[] API EXIT:  quiet"}));
    QORDebugRoutineTrace probe(nullptr, 0, "probe");
    probe.decrementNestingLevel();
    EXPECT_EQ(probe.nestingLevel(), 0);
}
