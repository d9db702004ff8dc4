// qorauthzmark.cpp: writing the decision mark.
#include "authz/qorauthzmark.h"
#include <cstdio>
#include "msg/core/qordecisionmark.h"
#include "msg/server/qorwebtransanswerwriter.h"

QORStatus qor_authz_mark(QORWebTransAnswerWriter& answer, int lifetime,
                         const QOREpochVersion& version, uint64_t generation)
{
    QORDecisionMark mark;
    mark.lifetime = static_cast<uint32_t>(lifetime < 0 ? 0 : lifetime);
    static_assert(sizeof version.m_identifier * 2 <= QORDecisionMark::kMaxServerLength,
                  "the run identifier fits the mark");
    for (size_t i = 0; i < sizeof version.m_identifier; ++i)
        snprintf(mark.server + 2 * i, 3, "%02x", version.m_identifier[i]);
    mark.generation = generation;
    char text[QORDecisionMark::kMaxText];
    int length = mark.format(text);
    return answer.addNameValue(QORWebTransAnswerBase::qor_req_set_header,
                               QORStringRef(QORDecisionMark::kHeaderName),
                               QORStringRef(text, length));
}
