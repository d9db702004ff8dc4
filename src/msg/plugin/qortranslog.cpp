// qortranslog.cpp: a failed step logged through the transaction.
#include "msg/plugin/qortranslog.h"

#include "core/msg/qormsg.h"
#include "plugin/core/qortransaction.h"

void qor_trans_log_status(QORTransaction* transaction, int messageID, QORStatus status)
{
    dx_error_string_t text;
    int st = 0;
    dx_error_inq_text(status, text, &st);
    // Logging a failure: a log that fails too has no one left to tell.
    (void)transaction->logMessage(qor_log_level_error, messageID, static_cast<const char*>(text),
                            static_cast<unsigned int>(status));
}
