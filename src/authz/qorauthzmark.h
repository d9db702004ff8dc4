// qorauthzmark.h: the decision mark the server adds to its answers to web
// requests while the policy lets plug-ins keep decisions
// (msg/core/qordecisionmark.h says what it carries).
#pragma once
#include <cstdint>
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"

class QORWebTransAnswerWriter;

// The run identifier of version as 32 hexadecimal digits, terminated.
void qor_authz_run_text(const QOREpochVersion& version, char (&text)[33]);

// Adds the mark: lifetime (0: not to be kept), this run's identifier (that
// of version) and generation.
QORStatus qor_authz_mark(QORWebTransAnswerWriter& answer, int lifetime,
                         const QOREpochVersion& version, uint64_t generation);
