// qordl.h: loading shared libraries and finding their symbols, for the
// modules the library loads at run time. Failures come back as statuses;
// the loader's own explanation is kept per thread for reports.
#pragma once
#include <cstddef>
#include "core/system/qorstatus.h"

typedef struct qor_dl_s* qor_dl_handle_t;

extern "C" {

// Loads the library at path (resolved as dlopen does: a name without "/"
// is searched for) with all its symbols bound now and kept local to it.
// qor_s_module_load_failed when it cannot be loaded; qor_s_invalid_argument
// for a null argument. *handle is set only on success.
QORStatus qor_dl_open(const char* path, qor_dl_handle_t* handle);

// Sets *symbol to the address of name in the library. A symbol whose value
// is null is found, not missing. qor_s_symbol_not_found when absent;
// qor_s_invalid_argument for a null argument.
QORStatus qor_dl_sym(qor_dl_handle_t handle, const char* name, void** symbol);

// Releases a handle from qor_dl_open; the library is unloaded when no
// handle refers to it any longer. The handle is invalid afterwards, even
// when the call fails. qor_s_invalid_argument for null or when the loader
// refuses the handle.
QORStatus qor_dl_close(qor_dl_handle_t handle);

// Copies into buf (truncated to size, always terminated) why this thread's
// last qor_dl_ call failed. qor_s_not_available, with buf empty, when that
// call succeeded or none was made; qor_s_invalid_argument for no buffer.
QORStatus qor_dl_last_error(char* buf, size_t size);
}
