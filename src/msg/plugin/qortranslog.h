// qortranslog.h: how the question marshaller and the answer unmarshaller
// report a failed step: through the transaction, at level 0, with the
// message's catalogue text formatted with the failing status's text and
// code ("... error: %s (error code: %#x).").
#pragma once
#include "core/system/qorstatus.h"

class QORTransaction;

void qor_trans_log_status(QORTransaction* transaction, int messageID, QORStatus status);
