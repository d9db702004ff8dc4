// qorcoretesting.h: QORCoreTesting, the tests' view of what a QORCore keeps
// to itself: its virtual hosts and its unprotected-resource cache client.
#pragma once
#include "plugin/core/qorcore.h"

class QORCoreTesting {
public:
    static QORPluginVirtualHostList& virtualHostList(QORCore& core)
    {
        return core.m_virtualHostList;
    }
    static QORUnprotResourceCacheClient* urcClient(QORCore& core) { return core.m_urcClient; }
};
