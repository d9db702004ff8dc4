// qorsvc.h: serviceability handles, severities, message and debug records.
// Every administrator message (by message id) and every debug line of a
// sub-component leaves the library through these calls; where a record goes
// is decided by the routes (core/svc/qorsvcroute.h). The trace registry reads
// and follows the sub-component levels of the product's handle.
#pragma once
#include <cstdarg>
#include <cstdint>
#include "core/platform/qorlox.h"
#include "core/system/qorstatus.h"

// Attribute word: severity in bits 4-8, debug level in bits 0-3.
enum : uint32_t {
    dx_svc_c_sev_fatal = 0x10,
    dx_svc_c_sev_error = 0x20,
    dx_svc_c_sev_warning = 0x30,
    dx_svc_c_sev_notice = 0x40,
    dx_svc_c_sev_notice_verbose = 0x50,
    dx_svc_c_sev_mask = 0x1f0,
    dx_svc_c_level_mask = 0x0f,
    dx_svc_c_no_prefix = 0x8000,   // record goes out without its prefix
};

enum : int { dx_svc_c_sev_count = 5, dx_svc_c_max_level = 9 };

// Routing and level statuses.
constexpr QORStatus dx_svc_s_no_memory = 0x106521f4;
constexpr QORStatus dx_svc_s_bad_routespec = 0x106521f7;

// Severity names ("FATAL" .. "NOTICE_VERBOSE") and their attribute values,
// in the same order.
extern "C" const char* const dx_svc_g_code_table[dx_svc_c_sev_count];
extern "C" const uint32_t dx_svc_g_attr_table[dx_svc_c_sev_count];

// One row of a sub-component table; a row whose sc_name is null ends it.
// sc_descr is the text of sc_descr_msgid (UTF-8), filled in when the handle
// is registered. sc_level is the current debug level (0 = off, 1-9); it is
// written under the serviceability mutex and read without a lock.
typedef struct {
    const char* sc_name;
    const char* sc_descr;
    uint32_t sc_descr_msgid;
    uint32_t sc_level;
} dx_svc_subcomp_t;

struct dx_svc_route_list;

// A component's serviceability handle. The fields are the layer's; callers
// read table (and its rows' levels through dx_svc_debug_enabled) only.
typedef struct dx_svc_handle_s {
    const char* component;
    dx_svc_subcomp_t* table;
    int32_t levels_filled;
    struct dx_svc_route_list* debug_routes;
    struct dx_svc_handle_s* next;
    int32_t subcomp_count;          // rows before the null row
} *dx_svc_handle_t;

// Rows of the product's ("pic") table, in table order.
enum : int {
    qor_svc_common = 0,
    qor_svc_http_parser,
    qor_svc_iis,
    qor_svc_config_mgr,
    qor_svc_auth_server,
    qor_svc_thread,
    qor_svc_module,
    qor_svc_process_mgr,
    qor_svc_proxy_if,
    qor_svc_version,
    qor_svc_plugin,
    qor_svc_cdsso,
    qor_svc_request,
    qor_svc_gso,
    qor_svc_memory_types,
    qor_svc_urc,
    qor_svc_hpt,
    qor_svc_stats,
    qor_svc_pic_count
};

// Debug-level change callback: the handle, the row, the row's description
// message id and the new level. Called without the serviceability mutex held.
typedef void (*dx_svc_levels_cb_t)(dx_svc_handle_t handle, int subcomponent,
                                   uint32_t descr_msgid, unsigned level);

extern "C" {

// The product's handle ("pic", 18 rows) and the configuration tools' handle
// ("pco", 6 rows). They exist (levels 0) before qormsg_init registers them.
extern dx_svc_handle_t const dx_svc_pic_handle;
extern dx_svc_handle_t const dx_svc_pco_handle;

// Start-up of messages for this process: locale, NLSPATH/LOXDIR, program
// name, both message tables and handles, code sets; installs the router as
// the foundation's report sink. Returns 1 on success, 0 on failure (reported
// to the system log and standard error). A second call returns 1 at once.
int qormsg_init(const char* programName, int setDefaultCodeSet);

// Releases routes, stored specifications, callbacks and the handles'
// descriptions, sets every level back to 0 and gives the foundation its own
// report sink back; afterwards the layer starts again from its defaults and
// qormsg_init may run again. REQUIRES: no other thread uses the layer.
void dx_svc_shutdown(void);

// Adds a component's handle (its table's descriptions are looked up); a
// debug routing stored for that component applies from now on.
void dx_svc_register_handle(dx_svc_handle_t handle, QORStatus* status);

// The handle registered for component, or null.
dx_svc_handle_t dx_svc_find_handle(const char* component);

// The program name shown in records (base name kept as given); null until
// set, records then show "PID#<pid>".
void dx_svc_set_progname(const char* name, QORStatus* status);
const char* dx_svc_get_progname(void);

// The process's local code page: its name and handle. The default code set
// is UTF-8 after qormsg_init(..., 1), else the local one; the non-cs
// emitting calls take their arguments in it.
const char* qorsvc_get_local_code_page(void);
lox_cs_t qorsvc_get_local_cs(void);
lox_cs_t qorsvc_get_default_cs(void);
// The locale qormsg_init found for messages ("C" before it ran).
const char* qorsvc_get_locale_name(void);

// Emits message msgid at the severity in attributes (bit 0x8000: no prefix;
// no severity bits: the severity of the message identifier's last letter,
// E error, W warning, else notice).
// The message text is the printf template; argtypes lists the arguments'
// conversions ("%s%d", null or "" for none) and is what the XML record's
// parameters are rendered from. String arguments are in codeset (the default
// code set for the non-cs forms). A template whose conversions do not match
// argtypes is written unformatted, followed by the rendered arguments.
void dx_svc_printf_cs_withfile(dx_svc_handle_t handle, lox_cs_t codeset,
                               const char* file, int line,
                               const char* argtypes, int subcomponent,
                               uint32_t attributes, uint32_t msgid, ...);
void dx_svc_vprintf_cs_withfile(dx_svc_handle_t handle, lox_cs_t codeset,
                                const char* file, int line,
                                const char* argtypes, int subcomponent,
                                uint32_t attributes, uint32_t msgid,
                                va_list args);
void dx_svc_printf_withfile(dx_svc_handle_t handle, const char* file,
                            int line, const char* argtypes, int subcomponent,
                            uint32_t attributes, uint32_t msgid, ...);
void dx_svc_vprintf_withfile(dx_svc_handle_t handle, const char* file,
                             int line, const char* argtypes, int subcomponent,
                             uint32_t attributes, uint32_t msgid,
                             va_list args);

// Emits a debug record when subcomponent's level is at least level. The
// format and its arguments are in the local code page (_utf8: UTF-8).
void dx_svc__debug_withfile(dx_svc_handle_t handle, const char* file,
                            int line, int subcomponent, unsigned level,
                            const char* format, ...);
void dx_svc__vdebug_withfile(dx_svc_handle_t handle, const char* file,
                             int line, int subcomponent, unsigned level,
                             const char* format, va_list args);
void dx_svc__debug_utf8(dx_svc_handle_t handle, const char* file, int line,
                        int subcomponent, unsigned level, const char* format,
                        ...);
void dx_svc__vdebug_utf8(dx_svc_handle_t handle, const char* file, int line,
                         int subcomponent, unsigned level, const char* format,
                         va_list args);

// The current debug level of a row (0 for an index outside the table).
unsigned dx_svc_debug_get_level(dx_svc_handle_t handle, int subcomponent);
}

// Whether a debug record of level for this row would be written: one load,
// no lock, so that a dropped record costs no formatting.
// REQUIRES: subcomponent is a row of handle's table.
static inline bool dx_svc_debug_enabled(dx_svc_handle_t handle,
                                        int subcomponent, unsigned level)
{
    return __atomic_load_n(&handle->table[subcomponent].sc_level,
                           __ATOMIC_RELAXED) >= level;
}

#define DX_SVC_DEBUG(handle, sub, level, ...)                                \
    do {                                                                     \
        if (dx_svc_debug_enabled((handle), (sub), (level)))                  \
            dx_svc__debug_withfile((handle), __FILE__, __LINE__, (sub),      \
                                   (level), __VA_ARGS__);                    \
    } while (0)
