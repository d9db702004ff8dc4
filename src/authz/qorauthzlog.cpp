// qorauthzlog.cpp: one message of the library's catalogue ("%s: %s") with
// the program name and the text.
#include "authz/qorauthzlog.h"

namespace {

const uint32_t kNameAndText = 0x35f02f9b;

} // namespace

void qor_authz_log(uint32_t severity, const std::string& text)
{
    dx_svc_printf_withfile(dx_svc_pic_handle, __FILE__, __LINE__, "%s%s", qor_svc_auth_server,
                           severity, kNameAndText, "dxqor-authzd", text.c_str());
}
