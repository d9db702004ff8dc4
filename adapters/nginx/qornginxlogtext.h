// qornginxlogtext.h: the user an answer names for nginx's access log
// ($dxqor_user), made safe for any log line.
#pragma once
#include <cstddef>
#include <string>

// s with every byte outside printable ASCII, and '"' and '\\', as \xHH.
std::string qor_ngx_escape_log_text(const char* s, size_t n);
