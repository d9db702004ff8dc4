// qorcoretesting.h: QORCoreTesting, the tests' view of what a QORCore keeps
// to itself: its virtual hosts, its unprotected-resource cache client and
// its decision cache.
#pragma once
#include "plugin/core/qorcore.h"
#include "plugin/core/qordecisioncache.h"

class QORCoreTesting {
public:
    static QORPluginVirtualHostList& virtualHostList(QORCore& core)
    {
        return core.m_virtualHostList;
    }
    static QORUnprotResourceCacheClient* urcClient(QORCore& core) { return core.m_urcClient; }
    static QORDecisionCache& decisionCache(QORCore& core) { return *core.m_decisionCache; }
};
