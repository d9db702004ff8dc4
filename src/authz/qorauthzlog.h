// qorauthzlog.h: the server's log lines, through the serviceability layer
// (so routed as the library's records are: SVC_<SEVERITY> or the policy's
// route entries).
#pragma once
#include <cstdint>
#include <string>
#include "core/svc/qorsvc.h"

// severity: dx_svc_c_sev_error, _warning or _notice.
void qor_authz_log(uint32_t severity, const std::string& text);
