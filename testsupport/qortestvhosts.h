// qortestvhosts.h: builders for tests of virtual hosts and permissions: an
// action group list from its text, a permission map from method and list
// texts, and a host with ID, flags and branch. Each object comes from
// qor_new with the allocator given (or the heap), owned by the caller.
#pragma once
#include <gtest/gtest.h>
#include <initializer_list>
#include <utility>
#include "plugin/core/qoractiongrouplist.h"
#include "plugin/core/qorpermmap.h"
#include "plugin/core/qorpluginvirtualhost.h"

inline QORActionGroupList* qor_test_action_list(const char* text, QORAllocator* a = nullptr)
{
    QORActionGroupList* list = qor_new<QORActionGroupList>(a, a);
    EXPECT_EQ(list->initialize(QORStringRef(text)), qor_s_ok) << text;
    return list;
}

// Entries of (method, action group list text).
inline QORPermMap* qor_test_perm_map(
    std::initializer_list<std::pair<const char*, const char*>> methods, QORAllocator* a = nullptr)
{
    QORPermMap* map = qor_new<QORPermMap>(a, a);
    EXPECT_EQ(map->initialize(), qor_s_ok);
    for (const auto& m : methods) {
        EXPECT_EQ(map->setPerms(QORPermMap::makeMethodKey(QORStringRef(m.first), a),
                                qor_test_action_list(m.second, a)),
                  qor_s_ok);
    }
    return map;
}

inline QORPluginVirtualHost* qor_test_vhost(const char* id, unsigned long flags,
                                           const char* branch = nullptr)
{
    QORPluginVirtualHost* host = qor_new<QORPluginVirtualHost>(nullptr);
    EXPECT_EQ(host->setID(QORStringRef(id)), qor_s_ok);
    host->setFlags(flags);
    if (branch != nullptr) {
        EXPECT_EQ(host->setBranch(QORStringRef(branch)), qor_s_ok);
    }
    return host;
}
