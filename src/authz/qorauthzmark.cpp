// qorauthzmark.cpp: writing the decision mark.
#include "authz/qorauthzmark.h"
#include <cstring>
#include <string>
#include "authz/qorauthzhex.h"
#include "msg/core/qordecisionmark.h"
#include "msg/server/qorwebtransanswerwriter.h"

void qor_authz_run_text(const QOREpochVersion& version, char (&text)[33])
{
    static_assert(sizeof version.m_identifier * 2 == sizeof text - 1, "two digits a byte");
    std::string hex = qor_authz_hex(version.m_identifier, sizeof version.m_identifier);
    memcpy(text, hex.data(), sizeof text - 1);
    text[sizeof text - 1] = 0;
}

QORStatus qor_authz_mark(QORWebTransAnswerWriter& answer, int lifetime,
                         const QOREpochVersion& version, uint64_t generation)
{
    QORDecisionMark mark;
    mark.lifetime = static_cast<uint32_t>(lifetime < 0 ? 0 : lifetime);
    static_assert(sizeof mark.server == 33, "the run identifier fits the mark");
    qor_authz_run_text(version, mark.server);
    mark.generation = generation;
    char text[QORDecisionMark::kMaxText];
    int length = mark.format(text);
    return answer.addNameValue(QORWebTransAnswerBase::qor_req_set_header,
                               QORStringRef(QORDecisionMark::kHeaderName),
                               QORStringRef(text, length));
}
