// qorapachestatus.h: the dxqor-status handler (SetHandler dxqor-status):
// the plug-in's figures of the child process that answers, as plain text.
#pragma once
#include "httpd.h"

int qor_apache_status_handler(request_rec* r);
