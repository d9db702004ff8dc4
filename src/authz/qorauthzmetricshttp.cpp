// qorauthzmetricshttp.cpp: the two pages, on libmicrohttpd.
#include "authz/qorauthzmetricshttp.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <cstring>
#include <microhttpd.h>

namespace {

struct Page {
    unsigned int code;
    const char* type;
    std::string body;
};

Page page(const QORAuthzMonitorPages& pages, const char* url, const char* method)
{
    const char* text = "text/plain; charset=utf-8";
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        return {MHD_HTTP_METHOD_NOT_ALLOWED, text, "only GET\n"};
    if (strcmp(url, "/metrics") == 0)
        return {MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", pages.metrics()};
    if (strcmp(url, "/healthz") == 0)
        return pages.healthy() ? Page{MHD_HTTP_OK, text, "ok\n"}
                         : Page{MHD_HTTP_SERVICE_UNAVAILABLE, text, "unavailable\n"};
    return {MHD_HTTP_NOT_FOUND, text, "not found\n"};
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void** request)
{
    // The first call only says a request has come: a body, if any, follows.
    static int started;
    if (*request == nullptr) {
        *request = &started;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;  // a body is read and dropped
        return MHD_YES;
    }
    Page p = page(*static_cast<const QORAuthzMonitorPages*>(cls), url, method);
    MHD_Response* rsp = MHD_create_response_from_buffer(p.body.size(), &p.body[0],
                                                        MHD_RESPMEM_MUST_COPY);
    if (rsp == nullptr)
        return MHD_NO;
    (void)MHD_add_response_header(rsp, MHD_HTTP_HEADER_CONTENT_TYPE, p.type);  // only memory
    (void)MHD_add_response_header(rsp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_Result ret = MHD_queue_response(connection, p.code, rsp);
    MHD_destroy_response(rsp);
    return ret;
}

} // namespace

QORStatus QORAuthzMetricsHTTP::start(const std::string& host, int port, QORAuthzMonitorPages pages)
{
    if (m_daemon != nullptr)
        return qor_s_invalid_argument;
    m_pages = std::move(pages);
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* addr = nullptr;
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD;
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        addr = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        addr = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        return qor_s_invalid_argument;
    }
    // A scraper or two: few connections, none held long.
    m_daemon = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, answer,
                                &m_pages, MHD_OPTION_SOCK_ADDR, addr,
                                MHD_OPTION_CONNECTION_LIMIT, 16u,
                                MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    return m_daemon != nullptr ? qor_s_ok : qor_s_system_call_failed;
}

void QORAuthzMetricsHTTP::stop()
{
    if (m_daemon != nullptr)
        MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}
