#include "plugin/core/qorpluginvirtualhostkey.h"

#include <gtest/gtest.h>
#include <string>

#include "plugin/core/qorpluginvirtualhost.h"

TEST(VirtualHostKey, OrderAndMatch)
{
    const char nul[] = {'a', 0, 'b'};
    const char nulOther[] = {'a', 0, 'c'};
    struct {
        QORStringRef hostID;
        unsigned long hostFlags;
        QORStringRef keyID;
        int protocol;  // -1 none, 0 HTTP, 1 HTTPS
        int order;     // sign of compare()
    } cases[] = {
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef("abc"), -1, 0},
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef("abd"), -1, 1},
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef("abb"), -1, -1},
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef("ab"), -1, -1},
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef("abcd"), -1, 1},
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef(""), 1, -1},
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef("ABC"), 1, -1},
        {QORStringRef("abc"), qor_vhost_secure, QORStringRef("\xff"), -1, 1},
        // A host refusing the key's protocol: 1 for a secure key, -1 for a
        // plain one; another ID orders by the IDs whatever the protocol.
        {QORStringRef("h"), qor_vhost_secure, QORStringRef("h"), 0, -1},
        {QORStringRef("h"), qor_vhost_secure, QORStringRef("h"), 1, 0},
        {QORStringRef("h"), qor_vhost_unsecure, QORStringRef("h"), 1, 1},
        {QORStringRef("h"), qor_vhost_unsecure, QORStringRef("i"), 1, 1},
        {QORStringRef("h"), qor_vhost_secure, QORStringRef("g"), 0, -1},
        // Every byte counts.
        {QORStringRef(nul, 3), 0x0c, QORStringRef(nul, 3), 1, 0},
        {QORStringRef(nul, 3), 0x0c, QORStringRef(nulOther, 3), 1, 1},
        {QORStringRef(nul, 3), 0x0c, QORStringRef("a"), 0, -1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.keyID.data(), static_cast<size_t>(c.keyID.length())) + " "
                     + std::to_string(c.protocol));
        QORPluginVirtualHost host;
        ASSERT_EQ(host.setID(c.hostID), qor_s_ok);
        host.setFlags(c.hostFlags);
        QORPluginVirtualHostKey key;
        if (c.protocol < 0)
            key.initialize(c.keyID);
        else
            key.initialize(c.keyID, c.protocol == 1);
        int r = key.compare(host);
        EXPECT_EQ(r < 0 ? -1 : r > 0 ? 1 : 0, c.order);
        if (c.protocol >= 0) {
            EXPECT_EQ(host.match(c.keyID, c.protocol == 1), c.order == 0);
        }
    }
}
