// qormsginit.cpp: the process's message start-up: locale, catalogue paths,
// program name, the library's message tables and handles, code sets, and
// the serviceability router as the foundation's report sink.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include "core/msg/qormsg.h"
#include "core/svc/qorsvc.h"
#include "core/svc/qorsvcstate.h"
#include "core/system/qorinstallpath.h"
#include "core/system/qorreport.h"
#include "core/threads/qorthread.h"

namespace {

pthread_mutex_t g_initMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_initialized;
char g_localeName[128] = "C";

// Foundation reports: the severity comes from the message identifier.
// The configuration tools' messages go to their own handle.
void reportSink(const char* file, int line, int subcomponent, QORStatus id,
                va_list args)
{
    dx_svc_handle_t handle = (id & 0xfffff000u) == QOR_CO_MSG_BASE
                                 ? dx_svc_pco_handle
                                 : dx_svc_pic_handle;
    if (subcomponent < 0 || subcomponent >= handle->subcomp_count)
        subcomponent = qor_svc_common;
    dx_svc_vprintf_cs_withfile(handle, qorsvc_get_local_cs(), file, line,
                               nullptr, subcomponent, 0, id, args);
}

int withoutSlash(const char* dir)
{
    size_t n = strlen(dir);
    while (n > 1 && dir[n - 1] == '/')
        n--;
    return (int)n;
}

// Puts the message directory in NLSPATH unless it is there, and points
// LOXDIR at the i18n data directory.
bool setCataloguePaths()
{
    const char* loxdir;
    if (dx_msg_setup_nlspath() != 0 ||
        qor_install_path(qor_path_lox, &loxdir) != 0)
        return false;
    char* lox = strndup(loxdir, withoutSlash(loxdir));
    if (lox == nullptr)
        return false;
    const char* old = getenv("LOXDIR");
    int rc = old && strcmp(old, lox) == 0 ? 0 : setenv("LOXDIR", lox, 1);
    free(lox);
    return rc == 0;
}

QORStatus registerTables()
{
    QORStatus st = 0;
    dx_msg_define_msg_table(qor_pic_msg_table, qor_pic_msg_count, &st);
    if (st == 0)
        dx_svc_register_handle(dx_svc_pic_handle, &st);
    if (st == 0)
        dx_msg_define_msg_table(qor_pco_msg_table, qor_pco_msg_count, &st);
    if (st == 0)
        dx_svc_register_handle(dx_svc_pco_handle, &st);
    return st;
}

} // namespace

extern "C" int qormsg_init(const char* programName, int setDefaultCodeSet)
{
    QORMutexLock lock(g_initMutex);
    if (g_initialized)
        return 1;
    const char* name = programName && *programName ? programName : "dxqor";
    const char* slash = strrchr(name, '/');
    if (slash && slash[1])
        name = slash + 1;
    setlocale(LC_ALL, "");
    openlog(name, LOG_CONS | LOG_NDELAY, LOG_USER);
    if (!setCataloguePaths()) {
        syslog(LOG_CRIT, "Cannot initialize NLSPATH.");
        fputs("Cannot initialize NLSPATH.\n", stderr);
    }
    QORStatus st;
    dx_svc_set_progname(name, &st);
    if (st != 0) {
        syslog(LOG_CRIT, "Cannot initialize DCE servicibility messages");
        fprintf(stderr,
                "Cannot initialize DCE servicibility messages(status 0x%8x)\n",
                (unsigned)st);
        closelog();
        return 0;
    }
    st = registerTables();
    if (st != 0) {
        syslog(LOG_CRIT, "Cannot initialize servicibility messages");
        fprintf(stderr,
                "Cannot initialize servicibility messages(status 0x%8x)\n",
                (unsigned)st);
        closelog();
        return 0;
    }
    closelog();
    lox_cs_local_reset();
    lox_cs_local();
    const char* locale = setlocale(LC_MESSAGES, nullptr);
    snprintf(g_localeName, sizeof(g_localeName), "%s", locale ? locale : "C");
    if (lox_cs_utf8() == nullptr)
        return 0;
    qor_svc_set_default_utf8(setDefaultCodeSet != 0);
    qor_report_set_sink(reportSink);
    g_initialized = true;
    return 1;
}

extern "C" const char* qorsvc_get_locale_name(void)
{
    return g_localeName;
}

void qor_svc_init_forget(void)
{
    QORMutexLock lock(g_initMutex);
    if (!g_initialized)
        return;
    qor_report_set_sink(nullptr);
    g_initialized = false;
}
