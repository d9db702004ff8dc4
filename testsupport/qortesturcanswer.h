// qortesturcanswer.h: a cache version answer for tests of the plug-in's
// cache: written into a region with the server's writer, as the
// authorization server sends it, and applied to a cache as the plug-in
// reads it.
#pragma once
#include <vector>
#include "msg/server/qorurcversionanswerwriter.h"
#include "qortestauthserver.h"
#include "qortestregion.h"
#include "urc/plugin/qorurcversionanswerunmarshaller.h"

// Writes version v and the branches; the first failing writer status, or
// qor_s_invalid_argument when the writer does not call the answer complete.
inline QORStatus qor_test_write_urc_answer(QORTestRegion& r, const QOREpochVersion& v,
                                           const std::vector<QORTestAuthBranch>& branches)
{
    QORURCVersionAnswerWriter w(r.alloc);
    QORStatus st = w.begin(v);
    for (const QORTestAuthBranch& b : branches) {
        if (st == qor_s_ok)
            st = w.beginBranch(QORStringRef(b.name.c_str()), static_cast<int>(b.objects.size()));
        for (const auto& o : b.objects) {
            if (st == qor_s_ok)
                st = w.addEntry(QORStringRef(o.first.c_str()), QORStringRef(o.second.c_str()));
        }
    }
    if (st == qor_s_ok && !w.isComplete())
        st = qor_s_invalid_argument;
    return st;
}

// Reads the answer in r into cache, failures logged to log (may be null).
inline QORStatus qor_test_apply_urc_answer(QORTestRegion& r, QORUnprotResourceCache* cache,
                                           QORLog* log)
{
    QORURCVersionAnswerContext ctx = {cache, log};
    return QORURCVersionAnswerUnmarshaller().unmarshal(r.reader(), &ctx);
}
