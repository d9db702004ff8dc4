#include "proxyif/ipc/qorsysvsemhelper.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "proxyif/ipc/qoripcstatus.h"
#include "qoripctesting.h"

namespace {

// A private set of two semaphores, removed at the end.
class QORSysVSemHelperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qor_test_watchdog(60);
        m_semId = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
        ASSERT_NE(m_semId, -1);
    }
    void TearDown() override
    {
        if (m_semId != -1)
            semctl(m_semId, 0, IPC_RMID);
        qor_test_watchdog(0);
    }
    int m_semId = -1;
};

} // namespace

TEST_F(QORSysVSemHelperTest, NoSetMeansNothingToDo)
{
    sembuf op = {0, -1, 0};
    // Would block forever on a real set at 0.
    EXPECT_EQ(QORSysVSemHelper::doSemOps(-1, &op, 1), qor_s_ok);
    EXPECT_EQ(QORSysVSemHelper::setValue(-1, 0, 5), qor_s_ok);
    EXPECT_EQ(QORSysVSemHelper::destroySemSet(-1), qor_s_ok);
}

TEST_F(QORSysVSemHelperTest, SignalWaitAndValues)
{
    int v = -1;
    ASSERT_EQ(QORSysVSemHelper::setValue(m_semId, 1, 3), qor_s_ok);
    ASSERT_EQ(QORSysVSemHelper::getValue(m_semId, 1, &v), qor_s_ok);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(QORSysVSemHelper::wait(m_semId, 1, 2), qor_s_ok);
    EXPECT_EQ(QORSysVSemHelper::signal(m_semId, 0, 4), qor_s_ok);
    EXPECT_EQ(QORSysVSemHelper::getValue(m_semId, 1, &v), qor_s_ok);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(QORSysVSemHelper::getValue(m_semId, 0, &v), qor_s_ok);
    EXPECT_EQ(v, 4);
    // Both operations of a group apply, or neither.
    sembuf both[2] = {{0, -4, 0}, {1, -2, IPC_NOWAIT}};
    EXPECT_EQ(QORSysVSemHelper::doSemOps(m_semId, both, 2), qor_s_ipc_would_block);
    EXPECT_EQ(QORSysVSemHelper::getValue(m_semId, 0, &v), qor_s_ok);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(QORSysVSemHelper::timedWait(m_semId, 1, 2, 50), qor_s_ipc_would_block);
    EXPECT_EQ(QORSysVSemHelper::timedWait(m_semId, 1, 1, 50), qor_s_ok);
    // Beyond the largest semaphore value.
    EXPECT_EQ(QORSysVSemHelper::setValue(m_semId, 0, 40000), qor_s_out_of_range);
    EXPECT_EQ(QORSysVSemHelper::setValue(m_semId, 7, 1), qor_s_ipc_invalid_id);
}
