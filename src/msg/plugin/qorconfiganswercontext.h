// qorconfiganswercontext.h: QORConfigAnswerContext, where a configuration
// answer puts what it carries. The core builds one on its stack for each
// configuration question, points it at its own tables and host list, and
// passes it to the dispatcher as the answer's context; the unmarshaller
// (qorconfiganswerunmarshaller.h) writes the answer's commands straight into
// those targets while it reads them. A target left null refuses its command:
// an answer carrying a command that the question did not ask for fails with
// qor_s_config_invalid_command instead of writing through a stray pointer.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/list/qorprotectedhashtable.h"

class QORLog;
class QORPluginVirtualHostList;

struct QORConfigAnswerContext {
    // Where failures inside the answer are logged (severity error, component
    // "DXQor"); null logs nothing.
    QORLog* log = nullptr;
    // Minimum POST data sizes by name (command 0), emptied and given
    // postURIBuckets buckets by the first such command.
    // The table must own its entries: keys are made with qor_new on the
    // table's allocator.
    QORProtectedHashTable<QORString, int>* postURIs = nullptr;
    int postURIBuckets = 0;
    // Configuration flags by name (command 1), the same way.
    QORProtectedHashTable<QORString, unsigned int>* configFlags = nullptr;
    int configFlagBuckets = 0;
    // Replaced by the host-list command (command 3).
    QORPluginVirtualHostList* vhostList = nullptr;
    // Outputs of the cache command (command 2); the poll interval is -1 when
    // the cache is disabled.
    bool urcEnabled = false;
    long urcPollInterval = -1;
};
