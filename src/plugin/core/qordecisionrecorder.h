// qordecisionrecorder.h: QORDecisionRecorder, what the core hangs on a
// transaction while it asks the authorization server a question whose
// answer it may keep: the answer, while it is applied, hands over its
// decision mark and its own bytes, so that the same answer can be applied
// again later.
#pragma once
#include "core/buffers/qorstringref.h"

class QORDecisionRecorder {
public:
    // The answer being applied carries the decision mark value mark. Its
    // bytes are region[0, size), which its links number from start; they
    // stay readable only during the call.
    virtual void markSeen(const QORStringRef& mark, const void* region, unsigned int start,
                          unsigned int size) = 0;

protected:
    ~QORDecisionRecorder() = default;
};
