// qorsvc.cpp: severities, the registered handles, the program name and code
// sets, and the emitting calls that turn arguments into records.
#include "core/svc/qorsvc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>
#include "core/msg/qormsg.h"
#include "core/sundry/qorsnprintf.h"
#include "core/svc/qorsvcargs.h"
#include "core/svc/qorsvcrecord.h"
#include "core/svc/qorsvcstate.h"
#include "core/svc/qorsvctext.h"
#include "core/threads/qorthread.h"

extern "C" const char* const dx_svc_g_code_table[dx_svc_c_sev_count] = {
    "FATAL", "ERROR", "WARNING", "NOTICE", "NOTICE_VERBOSE"};
extern "C" const uint32_t dx_svc_g_attr_table[dx_svc_c_sev_count] = {
    dx_svc_c_sev_fatal, dx_svc_c_sev_error, dx_svc_c_sev_warning,
    dx_svc_c_sev_notice, dx_svc_c_sev_notice_verbose};

pthread_mutex_t qor_svc_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

dx_svc_subcomp_t g_picTable[] = {
    {"Common", nullptr, 0x35f02fc0, 0},
    {"HTTP Parser", nullptr, 0x35f02fc1, 0},
    {"IIS", nullptr, 0x35f02fc2, 0},
    {"Config Mgr", nullptr, 0x35f02fc3, 0},
    {"Authorization Server", nullptr, 0x35f02fc4, 0},
    {"Thread", nullptr, 0x35f02fc5, 0},
    {"Module", nullptr, 0x35f02fc6, 0},
    {"Process Mgr", nullptr, 0x35f02fc7, 0},
    {"Proxy Interface", nullptr, 0x35f02fc8, 0},
    {"dxqv-version", nullptr, 0x35f02fc9, 0},
    {"Plugin", nullptr, 0x35f02fca, 0},
    {"CDSSO", nullptr, 0x35f02fcb, 0},
    {"Request", nullptr, 0x35f02fcc, 0},
    {"GSO", nullptr, 0x35f02fcd, 0},
    {"Memory Types", nullptr, 0x35f02fcf, 0},
    {"Unprotected Resource Cache", nullptr, 0x35f02fd0, 0},
    {"High Precision Timer", nullptr, 0x35f02fd2, 0},
    {"DXQOR Stats Constants", nullptr, 0x35f02fd1, 0},
    {nullptr, nullptr, 0, 0},
};

dx_svc_subcomp_t g_pcoTable[] = {
    {"Common", nullptr, 0x35e1efc0, 0},
    {"RC Script", nullptr, 0x35e1efc1, 0},
    {"Config Request", nullptr, 0x35e1efc2, 0},
    {"Config Error", nullptr, 0x35e1efc3, 0},
    {"Config GUI", nullptr, 0x35e1efc4, 0},
    {"Config Usage", nullptr, 0x35e1efc5, 0},
    {nullptr, nullptr, 0, 0},
};

static_assert(sizeof(g_picTable) / sizeof(g_picTable[0]) ==
                  qor_svc_pic_count + 1,
              "one row per product sub-component");

dx_svc_handle_s g_pcoHandle = {"pco", g_pcoTable, 0, nullptr, nullptr, 6};
dx_svc_handle_s g_picHandle = {"pic", g_picTable, 0, nullptr, &g_pcoHandle,
                               qor_svc_pic_count};

bool g_started;
bool g_brief;
pthread_once_t g_forkOnce = PTHREAD_ONCE_INIT;
char g_progname[256];
bool g_defaultUTF8;

void forkPrepare()
{
    qorthread_mutex_lock(&qor_svc_mutex);
    qor_svc_routes_flush_locked();
}

void forkParent()
{
    qorthread_mutex_unlock(&qor_svc_mutex);
}

void forkChild()
{
    qor_svc_routes_reopen_locked();
    qorthread_mutex_unlock(&qor_svc_mutex);
}

void registerForkHandlers()
{
    pthread_atfork(forkPrepare, forkParent, forkChild);
}

const char* subcomponentName(dx_svc_handle_t handle, int subcomponent)
{
    if (subcomponent < 0 || subcomponent >= handle->subcomp_count)
        return "unknown";
    return handle->table[subcomponent].sc_name;
}

// The severity index of attributes, or of the identifier that starts text
// when attributes carry none.
int severityOf(uint32_t attributes, const char* text)
{
    uint32_t sev = attributes & dx_svc_c_sev_mask;
    for (int i = 0; i < dx_svc_c_sev_count; i++) {
        if (dx_svc_g_attr_table[i] == sev)
            return i;
    }
    size_t n = text ? strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") : 0;
    char last = n > 0 ? text[n - 1] : 'E';
    return last == 'W' ? 2 : last == 'I' ? 3 : 1;
}

void fillRecord(QORSvcRecord& r, dx_svc_handle_t handle, int subcomponent,
                const char* file, int line)
{
    gettimeofday(&r.when, nullptr);
    r.component = handle->component;
    r.subcomponent = subcomponentName(handle, subcomponent);
    r.file = file;
    r.line = line;
    r.thread = (unsigned long)pthread_self();
    r.pid = (long)getpid();
    r.progname = nullptr;
    r.params = nullptr;
    r.paramCount = 0;
}

void emitDebug(dx_svc_handle_t handle, const char* file, int line,
               int subcomponent, unsigned level, bool utf8,
               const char* format, va_list args)
{
    QORSvcRecord r;
    fillRecord(r, handle, subcomponent, file, line);
    r.debug = true;
    r.noPrefix = false;
    r.msgid = 0;
    r.severity = -1;
    r.level = level;
    QORSvcText text;
    char* formatted = nullptr;
    va_list copy;
    va_copy(copy, args);
    int n = utf8 ? qor_vasprintf_utf8(&formatted, format, copy)
                 : qor_vasprintf_lcp(&formatted, format, copy);
    va_end(copy);
    lox_cs_t cs = utf8 ? nullptr : qorsvc_get_local_cs();
    if (n >= 0)
        text.appendToUTF8(cs, formatted, n);
    else
        text.appendToUTF8(cs, format, strlen(format));
    qor_asprintf_free(formatted);
    r.text = text.data();
    r.textLength = text.size();
    qor_svc_route(handle, r);
}

} // namespace

extern "C" dx_svc_handle_t const dx_svc_pic_handle = &g_picHandle;
extern "C" dx_svc_handle_t const dx_svc_pco_handle = &g_pcoHandle;

void qor_svc_start_locked(void)
{
    if (g_started)
        return;
    g_started = true;
    const char* brief = secure_getenv("SVC_BRIEF");
    g_brief = brief && strtol(brief, nullptr, 10) != 0;
    pthread_once(&g_forkOnce, registerForkHandlers);
}

bool qor_svc_brief_locked(void)
{
    return g_brief;
}

const char* qor_svc_progname_locked(void)
{
    return g_progname[0] ? g_progname : nullptr;
}

dx_svc_handle_t qor_svc_find_handle_locked(const char* component)
{
    for (dx_svc_handle_t h = &g_picHandle; h; h = h->next) {
        if (strcmp(h->component, component) == 0)
            return h;
    }
    return nullptr;
}

extern "C" dx_svc_handle_t dx_svc_find_handle(const char* component)
{
    if (component == nullptr)
        return nullptr;
    QORMutexLock lock(qor_svc_mutex);
    return qor_svc_find_handle_locked(component);
}

extern "C" void dx_svc_register_handle(dx_svc_handle_t handle,
                                       QORStatus* status)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    st = qor_s_invalid_argument;
    if (handle == nullptr || handle->component == nullptr ||
        handle->table == nullptr)
        return;
    int rows = 0;
    while (handle->table[rows].sc_name)
        rows++;
    // Texts are looked up before the mutex is taken: a lookup may report.
    char** texts = static_cast<char**>(calloc(rows + 1, sizeof(char*)));
    st = dx_svc_s_no_memory;
    if (texts == nullptr)
        return;
    for (int i = 0; i < rows; i++) {
        QORStatus ignoredLookup;
        texts[i] = dx_msg_get_msg_utf8(handle->table[i].sc_descr_msgid,
                                       &ignoredLookup);
    }
    {
        QORMutexLock lock(qor_svc_mutex);
        qor_svc_start_locked();
        dx_svc_handle_t existing =
            qor_svc_find_handle_locked(handle->component);
        if (existing == nullptr) {
            dx_svc_handle_t last = &g_picHandle;
            while (last->next)
                last = last->next;
            handle->next = nullptr;
            last->next = handle;
        }
        st = dx_svc_s_bad_routespec;
        if (existing == nullptr || existing == handle) {
            handle->subcomp_count = rows;
            for (int i = 0; i < rows; i++) {
                char* old = const_cast<char*>(handle->table[i].sc_descr);
                handle->table[i].sc_descr = texts[i];
                texts[i] = old;
            }
            handle->levels_filled = 1;
            qor_svc_routes_registered_locked(handle);
            st = 0;
        }
    }
    for (int i = 0; i < rows; i++)
        free(texts[i]);
    free(texts);
}

extern "C" void dx_svc_set_progname(const char* name, QORStatus* status)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    if (name == nullptr || *name == '\0') {
        st = qor_s_invalid_argument;
        return;
    }
    QORMutexLock lock(qor_svc_mutex);
    snprintf(g_progname, sizeof(g_progname), "%s", name);
    st = 0;
}

extern "C" const char* dx_svc_get_progname(void)
{
    QORMutexLock lock(qor_svc_mutex);
    return qor_svc_progname_locked();
}

extern "C" const char* qorsvc_get_local_code_page(void)
{
    lox_cs_t cs = lox_cs_local();
    return cs ? lox_cs_name(cs) : "ANSI_X3.4-1968";
}

extern "C" lox_cs_t qorsvc_get_local_cs(void)
{
    return lox_cs_local();
}

extern "C" lox_cs_t qorsvc_get_default_cs(void)
{
    return __atomic_load_n(&g_defaultUTF8, __ATOMIC_ACQUIRE) ? lox_cs_utf8()
                                                              : lox_cs_local();
}

void qor_svc_set_default_utf8(bool utf8)
{
    __atomic_store_n(&g_defaultUTF8, utf8, __ATOMIC_RELEASE);
}

extern "C" void dx_svc_vprintf_cs_withfile(dx_svc_handle_t handle,
                                           lox_cs_t codeset, const char* file,
                                           int line, const char* argtypes,
                                           int subcomponent,
                                           uint32_t attributes, uint32_t msgid,
                                           va_list args)
{
    if (handle == nullptr)
        handle = dx_svc_pic_handle;
    if (codeset == nullptr)
        codeset = qorsvc_get_default_cs();
    QORSvcRecord r;
    fillRecord(r, handle, subcomponent, file, line);
    r.debug = false;
    r.noPrefix = (attributes & dx_svc_c_no_prefix) != 0;
    r.msgid = msgid;
    r.level = 0;
    QORStatus st;
    char* tmpl = dx_msg_get_msg_utf8(msgid, &st);
    QORSvcText text;
    if (st != 0 || tmpl == nullptr) {
        free(tmpl);
        tmpl = nullptr;
        text.appendf("Unknown message 0x%8.8x", (unsigned)msgid);
    } else {
        qor_svc_args_format(text, codeset, tmpl, argtypes, args);
    }
    r.severity = severityOf(attributes, tmpl);
    int count = qor_svc_args_render(codeset, argtypes ? argtypes : tmpl, args,
                                    &r.params);
    r.paramCount = count > 0 ? count : 0;
    free(tmpl);
    r.text = text.data();
    r.textLength = text.size();
    qor_svc_route(handle, r);
    free(r.params);
}

extern "C" void dx_svc_printf_cs_withfile(dx_svc_handle_t handle,
                                          lox_cs_t codeset, const char* file,
                                          int line, const char* argtypes,
                                          int subcomponent,
                                          uint32_t attributes, uint32_t msgid,
                                          ...)
{
    va_list args;
    va_start(args, msgid);
    dx_svc_vprintf_cs_withfile(handle, codeset, file, line, argtypes,
                               subcomponent, attributes, msgid, args);
    va_end(args);
}

extern "C" void dx_svc_vprintf_withfile(dx_svc_handle_t handle,
                                        const char* file, int line,
                                        const char* argtypes, int subcomponent,
                                        uint32_t attributes, uint32_t msgid,
                                        va_list args)
{
    dx_svc_vprintf_cs_withfile(handle, nullptr, file, line, argtypes,
                               subcomponent, attributes, msgid, args);
}

extern "C" void dx_svc_printf_withfile(dx_svc_handle_t handle,
                                       const char* file, int line,
                                       const char* argtypes, int subcomponent,
                                       uint32_t attributes, uint32_t msgid,
                                       ...)
{
    va_list args;
    va_start(args, msgid);
    dx_svc_vprintf_cs_withfile(handle, nullptr, file, line, argtypes,
                               subcomponent, attributes, msgid, args);
    va_end(args);
}

extern "C" void dx_svc__vdebug_withfile(dx_svc_handle_t handle,
                                        const char* file, int line,
                                        int subcomponent, unsigned level,
                                        const char* format, va_list args)
{
    if (handle == nullptr || subcomponent < 0 ||
        subcomponent >= handle->subcomp_count || format == nullptr ||
        !dx_svc_debug_enabled(handle, subcomponent, level))
        return;
    emitDebug(handle, file, line, subcomponent, level, false, format, args);
}

extern "C" void dx_svc__debug_withfile(dx_svc_handle_t handle,
                                       const char* file, int line,
                                       int subcomponent, unsigned level,
                                       const char* format, ...)
{
    if (handle == nullptr || subcomponent < 0 ||
        subcomponent >= handle->subcomp_count || format == nullptr ||
        !dx_svc_debug_enabled(handle, subcomponent, level))
        return;
    va_list args;
    va_start(args, format);
    emitDebug(handle, file, line, subcomponent, level, false, format, args);
    va_end(args);
}

extern "C" void dx_svc__vdebug_utf8(dx_svc_handle_t handle, const char* file,
                                    int line, int subcomponent,
                                    unsigned level, const char* format,
                                    va_list args)
{
    if (handle == nullptr || subcomponent < 0 ||
        subcomponent >= handle->subcomp_count || format == nullptr ||
        !dx_svc_debug_enabled(handle, subcomponent, level))
        return;
    emitDebug(handle, file, line, subcomponent, level, true, format, args);
}

extern "C" void dx_svc__debug_utf8(dx_svc_handle_t handle, const char* file,
                                   int line, int subcomponent, unsigned level,
                                   const char* format, ...)
{
    if (handle == nullptr || subcomponent < 0 ||
        subcomponent >= handle->subcomp_count || format == nullptr ||
        !dx_svc_debug_enabled(handle, subcomponent, level))
        return;
    va_list args;
    va_start(args, format);
    emitDebug(handle, file, line, subcomponent, level, true, format, args);
    va_end(args);
}

extern "C" void dx_svc_shutdown(void)
{
    qor_svc_init_forget();
    QORMutexLock lock(qor_svc_mutex);
    qor_svc_routes_free_locked();
    qor_svc_levels_free_locked();
    for (dx_svc_handle_t h = &g_picHandle; h; h = h->next) {
        qor_svc_route_list_free_locked(h->debug_routes);
        h->debug_routes = nullptr;
        h->levels_filled = 0;
        for (dx_svc_subcomp_t* row = h->table; row->sc_name; row++) {
            free(const_cast<char*>(row->sc_descr));
            row->sc_descr = nullptr;
            __atomic_store_n(&row->sc_level, 0u, __ATOMIC_RELAXED);
        }
    }
    g_pcoHandle.next = nullptr;
    g_progname[0] = '\0';
    g_started = false;
    g_brief = false;
    qor_svc_set_default_utf8(false);
}
