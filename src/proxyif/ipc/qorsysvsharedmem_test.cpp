#include "proxyif/ipc/qorsysvsharedmem.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "proxyif/ipc/qoripcstatus.h"
#include "qoripcsquatting.h"

// Under the IPC watchdog, which removes the objects of a test that hangs.
using QORSharedMemTest = QORIPCLogTest;

TEST_F(QORSharedMemTest, PageRounding)
{
    unsigned page = (unsigned)getpagesize();
    EXPECT_EQ(QORSysVSharedMem::roundUpToPageSize(0), 0u);
    EXPECT_EQ(QORSysVSharedMem::roundUpToPageSize(1), page);
    EXPECT_EQ(QORSysVSharedMem::roundUpToPageSize(page - 1), page);
    EXPECT_EQ(QORSysVSharedMem::roundUpToPageSize(page), page);
    EXPECT_EQ(QORSysVSharedMem::roundUpToPageSize(page + 1), 2 * page);
    // No multiple fits: the value is left as it is rather than wrapped.
    EXPECT_EQ(QORSysVSharedMem::roundUpToPageSize(~0u), ~0u);
}

TEST_F(QORSharedMemTest, CreateRecordsRequestedSizeAndReadsAreBounded)
{
    QORTestIPCPath path("shm");
    QORSysVSharedMem shm;
    ASSERT_EQ(shm.create(path.c_str(), 'p', 1), qor_s_ok);
    EXPECT_NE(shm.getId(), -1);
    EXPECT_NE(shm.getBaseAddress(), nullptr);
    EXPECT_EQ(shm.getSize(), 1u);
    // The system reserved a whole page.
    EXPECT_EQ(shm.getMappedSize(), (unsigned)getpagesize());
    char c = 'x';
    void* at = nullptr;
    EXPECT_EQ(shm.write(0, 1, &c), qor_s_ok);
    EXPECT_EQ(shm.read(0, 1, &at), qor_s_ok);
    EXPECT_EQ(*static_cast<char*>(at), 'x');
    EXPECT_EQ(shm.read(1, 0, &at), qor_s_ok);
    EXPECT_EQ(shm.read(0, 2, &at), qor_s_ipc_bad_parameter);
    EXPECT_EQ(shm.read(1, 1, &c), qor_s_ipc_bad_parameter);
    EXPECT_EQ(shm.write(0, 2, &c), qor_s_ipc_bad_parameter);
    EXPECT_EQ(shm.read(-1, 1, &at), qor_s_ipc_bad_parameter);
    EXPECT_EQ(shm.read(0, -1, &c), qor_s_ipc_bad_parameter);
    EXPECT_EQ(shm.destroy(), qor_s_ok);
    EXPECT_EQ(shm.detach(), qor_s_ok);
    EXPECT_EQ(shm.getBaseAddress(), nullptr);
    EXPECT_EQ(shm.read(0, 1, &at), qor_s_ipc_bad_parameter);
    EXPECT_EQ(path.countPoolObjects(), 0);
}

TEST_F(QORSharedMemTest, CreateOverExistingAndAttachToMissing)
{
    QORTestIPCPath path("shm");
    QORSysVSharedMem missing;
    EXPECT_EQ(missing.attach(path.c_str(), 'w'), qor_s_ipc_no_segment);
    EXPECT_EQ(missing.getBaseAddress(), nullptr);
    QORSysVSharedMem first;
    ASSERT_EQ(first.create(path.c_str(), 'w', 100), qor_s_ok);
    QORSysVSharedMem second;
    EXPECT_EQ(second.create(path.c_str(), 'w', 100), qor_s_ipc_exists);
    EXPECT_EQ(second.getBaseAddress(), nullptr);
    EXPECT_EQ(second.getId(), -1);
    EXPECT_EQ(second.getSize(), 0u);
    // Attaching maps the same memory but records no size of its own, so
    // only the system's size bounds what the other side wrote.
    ASSERT_EQ(second.attach(path.c_str(), 'w'), qor_s_ok);
    EXPECT_EQ(second.getId(), first.getId());
    EXPECT_EQ(second.getSize(), 0u);
    EXPECT_EQ(second.getMappedSize(), QORSysVSharedMem::roundUpToPageSize(100));
    static_cast<char*>(first.getBaseAddress())[99] = 42;
    EXPECT_EQ(static_cast<char*>(second.getBaseAddress())[99], 42);
    void* at;
    EXPECT_EQ(second.read(0, 1, &at), qor_s_ipc_bad_parameter);
    // Removal leaves the mappings in place until each side detaches.
    EXPECT_EQ(first.destroy(), qor_s_ok);
    EXPECT_EQ(static_cast<char*>(second.getBaseAddress())[99], 42);
    EXPECT_EQ(first.detach(), qor_s_ok);
    EXPECT_EQ(second.detach(), qor_s_ok);
    EXPECT_EQ(second.destroy(), qor_s_ipc_invalid_id);
    EXPECT_EQ(path.countPoolObjects(), 0);
}

TEST_F(QORSharedMemTest, NoKeyAndBadIds)
{
    QORSysVSharedMem shm;
    const char* nowhere = "/nonexistent/dxqor/key/path";
    EXPECT_EQ(QORSysVSharedMem::nameToKey(nowhere, 'p'), (key_t)-1);
    EXPECT_EQ(shm.create(nowhere, 'p', 10), qor_s_ipc_key_failed);
    EXPECT_EQ(shm.attach(nowhere, 'p'), qor_s_ipc_key_failed);
    EXPECT_EQ(shm.attach(-1), qor_s_ipc_invalid_id);
    EXPECT_EQ(shm.detach(), qor_s_ipc_invalid_id);
    EXPECT_EQ(shm.destroy(), qor_s_ipc_invalid_id);
    EXPECT_EQ(shm.getBaseAddress(), nullptr);
}

TEST_F(QORSharedMemTest, LocalSegment)
{
    QORLocalSharedMem local;
    EXPECT_EQ(local.getId(), -1);
    EXPECT_EQ(local.attach(3), qor_s_not_supported);
    EXPECT_EQ(local.attach("x", 'p'), qor_s_not_supported);
    ASSERT_EQ(local.create("ignored", 'p', 16), qor_s_ok);
    EXPECT_EQ(local.create("ignored", 'p', 16), qor_s_ipc_exists);
    EXPECT_EQ(local.getSize(), 16u);
    EXPECT_EQ(local.getMappedSize(), 16u);
    int v = 7, out = 0;
    EXPECT_EQ(local.write(12, 4, &v), qor_s_ok);
    EXPECT_EQ(local.read(12, 4, &out), qor_s_ok);
    EXPECT_EQ(out, 7);
    EXPECT_EQ(local.write(13, 4, &v), qor_s_ipc_bad_parameter);
    EXPECT_EQ(local.destroy(), qor_s_ok);
    EXPECT_EQ(local.getBaseAddress(), nullptr);
    EXPECT_EQ(local.read(0, 0, &out), qor_s_ipc_bad_parameter);
    char mine[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    QORLocalSharedMem over(mine, sizeof mine);
    char c;
    EXPECT_EQ(over.read(7, 1, &c), qor_s_ok);
    EXPECT_EQ(c, 8);
    EXPECT_EQ(over.read(8, 1, &c), qor_s_ipc_bad_parameter);
    // Memory the caller owns is only forgotten.
    EXPECT_EQ(over.destroy(), qor_s_ok);
    EXPECT_EQ(mine[0], 1);
}
