// qordl.cpp: dlopen, dlsym and dlclose behind statuses. dlerror's text is
// copied at once into a per-thread buffer, since the loader clears it on the
// next read and the caller asks later.
#include "core/system/qordl.h"

#include <dlfcn.h>
#include <cstring>

namespace {

thread_local char t_lastError[512];

void setLastError(const char* text)
{
    if (text == nullptr)
        text = "unknown dynamic loader error";
    size_t length = strnlen(text, sizeof t_lastError - 1);
    memcpy(t_lastError, text, length);
    t_lastError[length] = '\0';
}

void clearLastError()
{
    t_lastError[0] = '\0';
}

} // namespace

extern "C" QORStatus qor_dl_open(const char* path, qor_dl_handle_t* handle)
{
    if (path == nullptr || handle == nullptr) {
        setLastError("qor_dl_open: null argument");
        return qor_s_invalid_argument;
    }
    void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        setLastError(dlerror());
        return qor_s_module_load_failed;
    }
    clearLastError();
    *handle = static_cast<qor_dl_handle_t>(h);
    return qor_s_ok;
}

extern "C" QORStatus qor_dl_sym(qor_dl_handle_t handle, const char* name,
                                void** symbol)
{
    if (handle == nullptr || name == nullptr || symbol == nullptr) {
        setLastError("qor_dl_sym: null argument");
        return qor_s_invalid_argument;
    }
    dlerror();
    void* address = dlsym(handle, name);
    const char* error = dlerror();
    if (error != nullptr) {
        setLastError(error);
        return qor_s_symbol_not_found;
    }
    clearLastError();
    *symbol = address;
    return qor_s_ok;
}

extern "C" QORStatus qor_dl_close(qor_dl_handle_t handle)
{
    if (handle == nullptr) {
        setLastError("qor_dl_close: null argument");
        return qor_s_invalid_argument;
    }
    if (dlclose(handle) != 0) {
        setLastError(dlerror());
        return qor_s_invalid_argument;
    }
    clearLastError();
    return qor_s_ok;
}

extern "C" QORStatus qor_dl_last_error(char* buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return qor_s_invalid_argument;
    size_t length = strnlen(t_lastError, size - 1);
    memcpy(buf, t_lastError, length);
    buf[length] = '\0';
    return t_lastError[0] == '\0' ? qor_s_not_available : qor_s_ok;
}
