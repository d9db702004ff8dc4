#include "core/threads/qorslotrwlock.h"

#include <atomic>
#include <thread>
#include <vector>
#include <gtest/gtest.h>

namespace {

struct LockCase {
    const char* name;
    int readers;
    int writers;
    // Threads that start, read once and end, one after another, before the
    // others run: their slots must come back for reuse.
    int shortLivedThreads;
};

class SlotRWLockTest : public ::testing::TestWithParam<LockCase> {};

// Writers bump one word and copy it to another under the write lock; a
// reader holding the read lock must never see the two differ, nor see the
// first change while it holds it.
TEST_P(SlotRWLockTest, WritersExcludeReadersAndEachOther)
{
    const LockCase& c = GetParam();
    QORSlotRWLock lock;
    for (int i = 0; i < c.shortLivedThreads; i++) {
        std::thread([&] {
            QORSlotReadGuard guard(lock);
            EXPECT_NE(QORSlotRWLock::slotOfThisThread(), -1);
        }).join();
    }

    long a = 0, b = 0;
    std::atomic<long> written{0}, reads{0};
    std::atomic<int> torn{0}, started{0}, withoutSlot{0};
    const long kWrites = 300;
    std::vector<std::thread> threads;
    for (int r = 0; r < c.readers; r++) {
        threads.emplace_back([&] {
            // All readers live at once, each with its slot or without one.
            {
                QORSlotReadGuard guard(lock);
                withoutSlot += QORSlotRWLock::slotOfThisThread() == -1;
            }
            started++;
            while (started < c.readers)
                std::this_thread::yield();
            // Until the writers are through, and at least a few reads each.
            for (int n = 0; n < 50 || written < kWrites * c.writers; n++) {
                QORSlotReadGuard guard(lock);
                long first = a;
                torn += first != b;
                torn += a != first;
                reads++;
            }
        });
    }
    for (int w = 0; w < c.writers; w++) {
        threads.emplace_back([&] {
            for (long i = 0; i < kWrites; i++) {
                lock.writeLock();
                a++;
                b = a;
                written++;
                lock.unlock();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(written, kWrites * c.writers);
    EXPECT_EQ(a, kWrites * c.writers);
    EXPECT_GE(reads, 50L * c.readers);
    EXPECT_GE(withoutSlot, c.readers - QORSlotRWLock::kSlots);

    // The lock is free again for both sides.
    lock.writeLock();
    lock.unlock();
    QORSlotReadGuard guard(lock);
}

const LockCase kLockCases[] = {
    {"OneReaderOneWriter", 1, 1, 0},
    {"ManyReadersTwoWriters", 6, 2, 0},
    // More threads than slots end and start again: slots are reused.
    {"SlotsReusedAfterThreadsEnd", 3, 1, 2 * QORSlotRWLock::kSlots + 5},
    // Threads beyond the slots share one counter.
    {"MoreReadersThanSlots", QORSlotRWLock::kSlots + 8, 1, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, SlotRWLockTest, ::testing::ValuesIn(kLockCases),
                         [](const ::testing::TestParamInfo<LockCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
