// qornginxguard.h: the wall between nginx's C callbacks and the C++ below
// them. An exception (std::bad_alloc from a std::string, a throwing new)
// that unwound into nginx would end the worker with every request on it;
// each callback the module hands nginx runs its body through
// qor_ngx_try and fails the one request instead.
#pragma once
#include <exception>

#include "ngx_http_dxqor_module.h"

// Runs body(); false, with an alert naming where, when it threw.
template <class F>
bool qor_ngx_try(ngx_log_t* log, const char* where, F&& body) noexcept
{
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        ngx_log_error(NGX_LOG_ALERT, log, 0, "dxqor: %s failed: %s", where, e.what());
    } catch (...) {
        ngx_log_error(NGX_LOG_ALERT, log, 0, "dxqor: %s failed", where);
    }
    return false;
}
