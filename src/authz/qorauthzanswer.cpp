// qorauthzanswer.cpp: writing the web answers.
#include "authz/qorauthzanswer.h"
#include "core/buffers/qorstring.h"
#include "core/html/qorhtml.h"
#include "msg/server/qorwebtransanswerwriter.h"

namespace {

typedef QORWebTransAnswerBase Cmd;

QORStringRef view(const std::string& s)
{
    return QORStringRef(s.data(), static_cast<int>(s.size()));
}

std::string escaped(const std::string& s)
{
    QORString out;
    if (QORHTML::escape(view(s), &out, true) != qor_s_ok)
        return std::string();
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

} // namespace

std::string qor_authz_page_html(const std::string& title, const std::string& text)
{
    std::string t = escaped(title);
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + t +
           "</title></head>\n<body><h1>" + t + "</h1>\n<p>" + escaped(text) +
           "</p></body></html>\n";
}

QORStatus qor_authz_send(QORWebTransAnswerWriter& answer, int code, const QORAuthzHeaders& headers,
                         const std::string& html, const QOREpochVersion& version)
{
    QORStatus st = answer.begin(qor_send_rsp_to_client);
    if (st == qor_s_ok)
        st = answer.addInt(Cmd::qor_rsp_set_response_code, code);
    for (auto& h : headers)
        if (st == qor_s_ok)
            st = answer.addNameValue(Cmd::qor_rsp_set_header, view(h.first), view(h.second));
    if (st == qor_s_ok)
        st = answer.addNameValue(Cmd::qor_rsp_set_header, view("Cache-Control"), view("no-store"));
    if (st == qor_s_ok && !html.empty()) {
        st = answer.addString(Cmd::qor_rsp_set_content_type, view("text/html; charset=utf-8"));
        QORBuffer body;
        body.set(reinterpret_cast<const unsigned char*>(html.data()), static_cast<int>(html.size()));
        if (st == qor_s_ok)
            st = answer.addBuffer(Cmd::qor_rsp_set_body, body);
    }
    return st == qor_s_ok ? answer.addURCVersion(version) : st;
}

QORStatus qor_authz_continue(QORWebTransAnswerWriter& answer, const std::string& identityHeader,
                             const std::string& user, const std::string& how,
                             const std::vector<std::string>& removeHeaders,
                             const QORAuthzHeaders& setHeaders, const QOREpochVersion& version)
{
    QORStatus st = answer.begin(qor_continue);
    if (st == qor_s_ok)
        st = answer.addString(Cmd::qor_req_remove_header, view(identityHeader));
    for (auto& h : removeHeaders)
        if (st == qor_s_ok)
            st = answer.addString(Cmd::qor_req_remove_header, view(h));
    if (st == qor_s_ok && !user.empty()) {
        st = answer.addNameValue(Cmd::qor_req_set_header, view(identityHeader), view(user));
        if (st == qor_s_ok)
            st = answer.addWebLogUser(view(user), view(how), view(""));
    }
    for (auto& h : setHeaders)
        if (st == qor_s_ok)
            st = answer.addNameValue(Cmd::qor_req_set_header, view(h.first), view(h.second));
    return st == qor_s_ok ? answer.addURCVersion(version) : st;
}

QORStatus qor_authz_ask_for_body(QORWebTransAnswerWriter& answer, int length,
                                 const QOREpochVersion& version)
{
    QORStatus st = answer.begin(qor_continue);
    if (st == qor_s_ok)
        st = answer.addInt(Cmd::qor_req_get_body, length);
    return st == qor_s_ok ? answer.addURCVersion(version) : st;
}
