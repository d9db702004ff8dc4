#include "plugin/core/qorpluginvirtualhost.h"

#include <gtest/gtest.h>
#include <string>

#include "core/memory/qorcountingallocator.h"
#include "qortestvhosts.h"

TEST(VirtualHost, OutOfMemoryKeepsTheOldTextAndTheMapIsOwned)
{
    QORCountingAllocator alloc;
    {
        QORPluginVirtualHost host(&alloc);
        ASSERT_EQ(host.setID(QORStringRef("short")), qor_s_ok);
        std::string longID(300, 'x');
        alloc.failAfter = 0;
        EXPECT_EQ(host.setID(QORStringRef(longID.c_str())), qor_s_no_memory);
        EXPECT_EQ(host.setBranch(QORStringRef(longID.c_str())), qor_s_no_memory);
        EXPECT_STREQ(host.getID().c_str(), "short");
        EXPECT_TRUE(host.getBranch().isEmpty());
        alloc.failAfter = -1;

        // Setting the map held again keeps it; another deletes it.
        int base = alloc.live();
        QORPermMap* first = qor_test_perm_map({{"GET", "rx"}}, &alloc);
        int withFirst = alloc.live();
        host.setPermMap(first);
        host.setPermMap(first);
        EXPECT_EQ(alloc.live(), withFirst);
        QORPermMap* second = qor_test_perm_map({}, &alloc);
        int secondSize = alloc.live() - withFirst;
        host.setPermMap(second);
        EXPECT_EQ(alloc.live(), base + secondSize);
    }
    EXPECT_EQ(alloc.live(), 0);
}
