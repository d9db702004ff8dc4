// qorauthzanswer.h: the answers the server writes to a web request: a page
// of its own (401, 403, 413, 429, the login form) or a redirection sent
// instead of the request, or the request let through with the identity
// header and the web server's log user set. Each carries the cache version
// last, so that the plug-in refetches its cache data when it changed.
#pragma once
#include <string>
#include <utility>
#include <vector>
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"

class QORWebTransAnswerWriter;

typedef std::vector<std::pair<std::string, std::string>> QORAuthzHeaders;

// A small HTML page with title and text (both escaped here).
std::string qor_authz_page_html(const std::string& title, const std::string& text);

// Sends a response of code with the headers and, unless html is empty, the
// HTML body.
QORStatus qor_authz_send(QORWebTransAnswerWriter& answer, int code, const QORAuthzHeaders& headers,
                         const std::string& html, const QOREpochVersion& version);

// Lets the request go on. The identity header is removed and, when user
// is not empty, set to it, with the log user (user, how, ""); the headers
// of removeHeaders go too, and setHeaders are set.
QORStatus qor_authz_continue(QORWebTransAnswerWriter& answer, const std::string& identityHeader,
                             const std::string& user, const std::string& how,
                             const std::vector<std::string>& removeHeaders,
                             const QORAuthzHeaders& setHeaders, const QOREpochVersion& version);

// Asks the plug-in for (up to) length bytes of the request body; the
// question comes again with it.
QORStatus qor_authz_ask_for_body(QORWebTransAnswerWriter& answer, int length,
                                 const QOREpochVersion& version);
