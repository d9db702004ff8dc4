// qorsvcroute.cpp: route lists: parsing specifications, default routes, and
// writing one record to every route of a list.
#include "core/svc/qorsvcroute.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>
#include "core/svc/qorsvcfile.h"
#include "core/svc/qorsvcrecord.h"
#include "core/svc/qorsvcstate.h"
#include "core/svc/qorsvctext.h"
#include "core/threads/qorthread.h"

namespace {

enum Sink { sink_none, sink_stdout, sink_stderr, sink_file, sink_goesto };
enum Form { form_none, form_local, form_utf8, form_xml };

struct RouteKind {
    const char* keyword;
    Sink sink;
    Form form;
};

const RouteKind kKinds[] = {
    {"STDOUT", sink_stdout, form_local},
    {"STDERR", sink_stderr, form_local},
    {"XMLSTDOUT", sink_stdout, form_xml},
    {"XMLSTDERR", sink_stderr, form_xml},
    {"DISCARD", sink_none, form_none},
    {"TEXTFILE", sink_file, form_local},
    {"UTF8FILE", sink_file, form_utf8},
    {"XMLFILE", sink_file, form_xml},
    {"FILE", sink_file, form_local},
    {"GOESTO", sink_goesto, form_none},
};

// Any other keyword names a dynamically loaded route: kept and shown, but
// without its loader it writes nothing.
const RouteKind kDynamic = {nullptr, sink_none, form_none};

// One file for every route that names its path, so that the routes of
// several severities count entries and archive together.
struct SharedFile {
    QORSvcFile file;
    int refs;           // 0 while parsed but not yet installed
    SharedFile* next;
};

} // namespace

struct QORSvcRoute {
    const RouteKind* kind;
    char* spec;          // the entry as given, for showing
    char* destination;
    SharedFile* file;
    QORSvcRoute* next;
};

struct dx_svc_route_list {
    QORSvcRoute* first;
};

namespace {

struct StoredRouting {
    char* component;
    char* routes;
    StoredRouting* next;
};

dx_svc_route_list g_severity[dx_svc_c_sev_count];
SharedFile* g_files;
StoredRouting* g_stored;

const char* const kSeverityDefault[dx_svc_c_sev_count] = {
    "STDERR:", "STDERR:", "STDERR:", "DISCARD:", "DISCARD:"};

void freeSharedFile(SharedFile* f)
{
    qor_svc_file_close(&f->file);
    free(f->file.path);
    free(f);
}

// Frees routes; an installed file loses a reference and goes with its last.
// REQUIRES: mutex held when any route is installed.
void freeRoutes(QORSvcRoute* r)
{
    while (r) {
        QORSvcRoute* next = r->next;
        SharedFile* f = r->file;
        if (f && f->refs == 0) {
            freeSharedFile(f);
        } else if (f && --f->refs == 0) {
            for (SharedFile** p = &g_files; *p; p = &(*p)->next) {
                if (*p == f) {
                    *p = f->next;
                    break;
                }
            }
            freeSharedFile(f);
        }
        free(r->spec);
        free(r->destination);
        free(r);
        r = next;
    }
}

bool allDigits(const char* s, const char* digits)
{
    if (*s == '\0')
        return false;
    for (; *s; s++) {
        if (!strchr(digits, *s))
            return false;
    }
    return true;
}

bool lookupUser(const char* name, uid_t* uid)
{
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwnam_r(name, &pw, buf, sizeof(buf), &found) == 0 && found) {
        *uid = found->pw_uid;
        return true;
    }
    if (!allDigits(name, "0123456789"))
        return false;
    *uid = (uid_t)strtoul(name, nullptr, 10);
    return true;
}

bool lookupGroup(const char* name, gid_t* gid)
{
    struct group gr, *found = nullptr;
    char buf[4096];
    if (getgrnam_r(name, &gr, buf, sizeof(buf), &found) == 0 && found) {
        *gid = found->gr_gid;
        return true;
    }
    if (!allDigits(name, "0123456789"))
        return false;
    *gid = (gid_t)strtoul(name, nullptr, 10);
    return true;
}

const RouteKind* findKind(const char* keyword)
{
    for (const RouteKind& k : kKinds) {
        if (strcasecmp(k.keyword, keyword) == 0)
            return &k;
    }
    return &kDynamic;
}

// keyword[.generations.entries]:destination[:mode[:user[:group]]], split
// in place in work.
QORStatus parseFields(char* work, QORSvcRoute* r, QORSvcFile* settings)
{
    char* field[5] = {};
    int n = 0;
    for (char* p = work;;) {
        if (n == 5)
            return dx_svc_s_bad_routespec;
        field[n++] = p;
        p = strchr(p, ':');
        if (p == nullptr)
            break;
        *p++ = '\0';
    }
    if (n < 2)
        return dx_svc_s_bad_routespec;
    char* dot = strchr(field[0], '.');
    if (dot) {
        *dot = '\0';
        char* gen = dot + 1;
        char* entries = strchr(gen, '.');
        if (entries == nullptr)
            return dx_svc_s_bad_routespec;
        *entries++ = '\0';
        if (!allDigits(gen, "0123456789") || !allDigits(entries, "0123456789"))
            return dx_svc_s_bad_routespec;
        unsigned long g = strtoul(gen, nullptr, 10);
        unsigned long e = strtoul(entries, nullptr, 10);
        settings->generations = g > 99 ? 99 : (int)g;
        settings->entries = e > 0x7fffffffUL ? 0x7fffffffL : (long)e;
    }
    if (field[0][0] == '\0')
        return dx_svc_s_bad_routespec;
    r->kind = findKind(field[0]);
    if ((r->kind->sink == sink_file || r->kind->sink == sink_goesto) &&
        field[1][0] == '\0')
        return dx_svc_s_bad_routespec;
    if (n > 2 && field[2][0] != '\0') {
        if (!allDigits(field[2], "01234567"))
            return dx_svc_s_bad_routespec;
        unsigned long mode =
            strlen(field[2]) > 6 ? 01000 : strtoul(field[2], nullptr, 8);
        settings->mode = mode > 0777 ? 0 : (unsigned)mode;
    }
    if (n > 3 && field[3][0] != '\0' && !lookupUser(field[3], &settings->uid))
        return dx_svc_s_bad_routespec;
    if (n > 4 && field[4][0] != '\0' && !lookupGroup(field[4], &settings->gid))
        return dx_svc_s_bad_routespec;
    r->destination = strdup(field[1]);
    return r->destination ? qor_s_ok : dx_svc_s_no_memory;
}

QORStatus parseEntry(const char* text, size_t len, QORSvcRoute** out)
{
    QORSvcRoute* r = static_cast<QORSvcRoute*>(calloc(1, sizeof(*r)));
    char* work = strndup(text, len);
    QORSvcFile settings = {};
    settings.uid = (uid_t)-1;
    settings.gid = (gid_t)-1;
    QORStatus st = dx_svc_s_no_memory;
    if (r && work && (r->spec = strndup(text, len)) != nullptr) {
        st = parseFields(work, r, &settings);
    }
    if (st == 0 && r->kind->sink == sink_file) {
        r->file = static_cast<SharedFile*>(calloc(1, sizeof(SharedFile)));
        settings.path = strdup(r->destination);
        if (r->file == nullptr || settings.path == nullptr) {
            free(settings.path);
            st = dx_svc_s_no_memory;
        } else {
            r->file->file = settings;
        }
    }
    free(work);
    if (st != 0) {
        freeRoutes(r);
        return st;
    }
    *out = r;
    return 0;
}

// Entries separated by runs of ';'; at least one.
QORStatus parseList(const char* list, QORSvcRoute** out)
{
    QORSvcRoute* head = nullptr;
    QORSvcRoute** tail = &head;
    for (const char* p = list; *p;) {
        if (*p == ';') {
            p++;
            continue;
        }
        const char* end = strchr(p, ';');
        if (end == nullptr)
            end = p + strlen(p);
        QORStatus st = parseEntry(p, end - p, tail);
        if (st != 0) {
            freeRoutes(head);
            return st;
        }
        tail = &(*tail)->next;
        p = end;
    }
    if (head == nullptr)
        return dx_svc_s_bad_routespec;
    *out = head;
    return 0;
}

// Gives each parsed file route the shared file of its path, which takes
// the newest settings. REQUIRES: mutex held.
void bindFiles(QORSvcRoute* r)
{
    for (; r; r = r->next) {
        SharedFile* parsed = r->file;
        if (parsed == nullptr || parsed->refs > 0)
            continue;
        SharedFile* f = g_files;
        while (f && strcmp(f->file.path, parsed->file.path) != 0)
            f = f->next;
        if (f == nullptr) {
            parsed->refs = 1;
            parsed->next = g_files;
            g_files = parsed;
            continue;
        }
        f->file.generations = parsed->file.generations;
        f->file.entries = parsed->file.entries;
        f->file.mode = parsed->file.mode;
        f->file.uid = parsed->file.uid;
        f->file.gid = parsed->file.gid;
        f->refs++;
        r->file = f;
        freeSharedFile(parsed);
    }
}

void install(dx_svc_route_list* list, QORSvcRoute* routes)
{
    bindFiles(routes);
    QORSvcRoute* old = list->first;
    list->first = routes;
    freeRoutes(old);
}

// An empty list (never set, or its last route dropped) takes its routes
// from the environment variable, else from the built-in default.
void resolveDefault(dx_svc_route_list* list, const char* envName,
                    const char* fallback)
{
    QORSvcRoute* routes = nullptr;
    // secure_getenv: a set-user-ID program must not log where its caller says.
    const char* env = secure_getenv(envName);
    if ((env == nullptr || parseList(env, &routes) != 0) &&
        parseList(fallback, &routes) != 0)
        return;
    install(list, routes);
}

int findSeverity(const char* name, size_t len)
{
    for (int i = 0; i < dx_svc_c_sev_count; i++) {
        if (strlen(dx_svc_g_code_table[i]) == len &&
            strncasecmp(dx_svc_g_code_table[i], name, len) == 0)
            return i;
    }
    return -1;
}

dx_svc_route_list* severityList(int severity)
{
    dx_svc_route_list* list = &g_severity[severity];
    if (list->first == nullptr) {
        char env[32];
        snprintf(env, sizeof(env), "SVC_%s", dx_svc_g_code_table[severity]);
        resolveDefault(list, env, kSeverityDefault[severity]);
    }
    return list;
}

dx_svc_route_list* debugList(dx_svc_handle_t handle)
{
    if (handle->debug_routes == nullptr) {
        handle->debug_routes = static_cast<dx_svc_route_list*>(
            calloc(1, sizeof(dx_svc_route_list)));
        if (handle->debug_routes == nullptr)
            return nullptr;
    }
    if (handle->debug_routes->first == nullptr) {
        char env[128];
        snprintf(env, sizeof(env), "SVC_%s_DBG", handle->component);
        resolveDefault(handle->debug_routes, env, "STDERR:");
    }
    return handle->debug_routes;
}

// A severity's routes or a registered component's debug routes.
dx_svc_route_list* namedList(const char* name)
{
    int severity = findSeverity(name, strlen(name));
    if (severity >= 0)
        return severityList(severity);
    dx_svc_handle_t handle = qor_svc_find_handle_locked(name);
    return handle ? debugList(handle) : nullptr;
}

// The record's forms, each rendered when a route first needs it.
class Forms {
public:
    explicit Forms(const QORSvcRecord& record)
        : m_record(record)
    {
    }

    const QORSvcText& get(Form form)
    {
        if (form == form_xml) {
            if (!m_haveXml)
                qor_svc_record_xml(m_record, m_xml);
            m_haveXml = true;
            return m_xml;
        }
        if (!m_haveText)
            qor_svc_record_text(m_record, qor_svc_brief_locked(), m_text);
        m_haveText = true;
        lox_cs_t cs = qorsvc_get_local_cs();
        if (form == form_utf8 || cs == nullptr || lox_cs_is_utf8(cs))
            return m_text;
        if (!m_haveLocal)
            m_local.appendFromUTF8(cs, m_text.data(), m_text.size());
        m_haveLocal = true;
        return m_local;
    }

private:
    const QORSvcRecord& m_record;
    QORSvcText m_text;
    QORSvcText m_local;
    QORSvcText m_xml;
    bool m_haveText = false;
    bool m_haveLocal = false;
    bool m_haveXml = false;
};

// The lists a record has passed through, so that GOESTO cycles end.
struct Visited {
    const dx_svc_route_list* lists[16];
    int count = 0;

    bool enter(const dx_svc_route_list* list)
    {
        if (list == nullptr || count == 16)
            return false;
        for (int i = 0; i < count; i++) {
            if (lists[i] == list)
                return false;
        }
        lists[count++] = list;
        return true;
    }
};

void writeStream(FILE* stream, const QORSvcText& text)
{
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

void writeList(dx_svc_route_list* list, Forms& forms, Visited& visited)
{
    if (!visited.enter(list))
        return;
    for (QORSvcRoute** link = &list->first; *link;) {
        QORSvcRoute* r = *link;
        switch (r->kind->sink) {
        case sink_stdout:
            writeStream(stdout, forms.get(r->kind->form));
            break;
        case sink_stderr:
            writeStream(stderr, forms.get(r->kind->form));
            break;
        case sink_file: {
            const QORSvcText& text = forms.get(r->kind->form);
            if (!qor_svc_file_write(&r->file->file, text.data(), text.size())) {
                *link = r->next;
                r->next = nullptr;
                freeRoutes(r);
                continue;
            }
            break;
        }
        case sink_goesto:
            writeList(namedList(r->destination), forms, visited);
            break;
        case sink_none:
            break;
        }
        link = &r->next;
    }
}

void freeStored(StoredRouting* s)
{
    free(s->component);
    free(s->routes);
    free(s);
}

char* showList(const dx_svc_route_list* list)
{
    QORSvcText text;
    for (const QORSvcRoute* r = list ? list->first : nullptr; r; r = r->next) {
        if (r != list->first)
            text.append(';');
        text.append(r->spec);
    }
    return text.release();
}

} // namespace

void qor_svc_route(dx_svc_handle_t handle, QORSvcRecord& record)
{
    qorthread_mutex_lock(&qor_svc_mutex);
    qor_svc_start_locked();
    record.progname = qor_svc_progname_locked();
    dx_svc_route_list* list = nullptr;
    if (record.debug)
        list = handle ? debugList(handle) : nullptr;
    else if (record.severity >= 0 && record.severity < dx_svc_c_sev_count)
        list = severityList(record.severity);
    if (list) {
        Forms forms(record);
        Visited visited;
        writeList(list, forms, visited);
    }
    qorthread_mutex_unlock(&qor_svc_mutex);
}

void qor_svc_routes_registered_locked(dx_svc_handle_t handle)
{
    for (StoredRouting** link = &g_stored; *link; link = &(*link)->next) {
        StoredRouting* s = *link;
        if (strcmp(s->component, handle->component) != 0)
            continue;
        QORSvcRoute* routes;
        if (handle->debug_routes == nullptr)
            handle->debug_routes = static_cast<dx_svc_route_list*>(
                calloc(1, sizeof(dx_svc_route_list)));
        if (handle->debug_routes && parseList(s->routes, &routes) == 0)
            install(handle->debug_routes, routes);
        *link = s->next;
        freeStored(s);
        return;
    }
}

void qor_svc_route_list_free_locked(dx_svc_route_list* list)
{
    if (list == nullptr)
        return;
    freeRoutes(list->first);
    free(list);
}

void qor_svc_routes_flush_locked(void)
{
    fflush(stdout);
    fflush(stderr);
    for (SharedFile* f = g_files; f; f = f->next)
        qor_svc_file_flush(&f->file);
}

void qor_svc_routes_reopen_locked(void)
{
    for (SharedFile* f = g_files; f; f = f->next)
        qor_svc_file_reopen(&f->file);
}

void qor_svc_routes_free_locked(void)
{
    for (dx_svc_route_list& list : g_severity) {
        freeRoutes(list.first);
        list.first = nullptr;
    }
    while (g_stored) {
        StoredRouting* next = g_stored->next;
        freeStored(g_stored);
        g_stored = next;
    }
}

extern "C" void dx_svc_routing(const char* specification, QORStatus* status)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    const char* colon = specification ? strchr(specification, ':') : nullptr;
    st = dx_svc_s_bad_routespec;
    if (colon == nullptr)
        return;
    size_t nameLength = colon - specification;
    int first = 0, last = dx_svc_c_sev_count - 1;
    if (!(nameLength == 1 && specification[0] == '*')) {
        first = last = findSeverity(specification, nameLength);
        if (first < 0)
            return;
    }
    QORSvcRoute* parsed[dx_svc_c_sev_count] = {};
    for (int i = first; i <= last; i++) {
        st = parseList(colon + 1, &parsed[i]);
        if (st != 0) {
            for (QORSvcRoute* r : parsed)
                freeRoutes(r);
            return;
        }
    }
    qorthread_mutex_lock(&qor_svc_mutex);
    qor_svc_start_locked();
    for (int i = first; i <= last; i++)
        install(&g_severity[i], parsed[i]);
    qorthread_mutex_unlock(&qor_svc_mutex);
}

extern "C" void dx_svc_debug_routing(const char* specification,
                                     QORStatus* status)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    const char* colon = specification ? strchr(specification, ':') : nullptr;
    st = dx_svc_s_bad_routespec;
    if (colon == nullptr || colon == specification)
        return;
    QORSvcRoute* routes = nullptr;
    st = parseList(colon + 1, &routes);
    if (st != 0)
        return;
    char* component = strndup(specification, colon - specification);
    dx_svc_route_list* fresh =
        static_cast<dx_svc_route_list*>(calloc(1, sizeof(dx_svc_route_list)));
    StoredRouting* stored =
        static_cast<StoredRouting*>(calloc(1, sizeof(StoredRouting)));
    char* text = strdup(colon + 1);
    if (component == nullptr || fresh == nullptr || stored == nullptr ||
        text == nullptr) {
        freeRoutes(routes);
        free(component);
        free(fresh);
        free(stored);
        free(text);
        st = dx_svc_s_no_memory;
        return;
    }
    qorthread_mutex_lock(&qor_svc_mutex);
    qor_svc_start_locked();
    dx_svc_handle_t handle = qor_svc_find_handle_locked(component);
    if (handle) {
        if (handle->debug_routes == nullptr) {
            handle->debug_routes = fresh;
            fresh = nullptr;
        }
        install(handle->debug_routes, routes);
        routes = nullptr;
    } else {
        StoredRouting** link = &g_stored;
        while (*link && strcmp((*link)->component, component) != 0)
            link = &(*link)->next;
        if (*link) {
            StoredRouting* old = *link;
            stored->next = old->next;
            freeStored(old);
        }
        stored->component = component;
        stored->routes = text;
        *link = stored;
        component = text = nullptr;
        stored = nullptr;
    }
    freeRoutes(routes);
    qorthread_mutex_unlock(&qor_svc_mutex);
    free(component);
    free(fresh);
    free(stored);
    free(text);
}

extern "C" char* dx_svc_routes_show(const char* name, QORStatus* status)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    char* shown = nullptr;
    st = dx_svc_s_bad_routespec;
    if (name == nullptr)
        return nullptr;
    qorthread_mutex_lock(&qor_svc_mutex);
    qor_svc_start_locked();
    dx_svc_route_list* list = namedList(name);
    if (list) {
        shown = showList(list);
        st = shown ? qor_s_ok : dx_svc_s_no_memory;
    } else {
        for (StoredRouting* s = g_stored; s; s = s->next) {
            if (strcmp(s->component, name) == 0) {
                shown = strdup(s->routes);
                st = shown ? qor_s_ok : dx_svc_s_no_memory;
            }
        }
    }
    qorthread_mutex_unlock(&qor_svc_mutex);
    return shown;
}

extern "C" void dx_svc_flush(void)
{
    qorthread_mutex_lock(&qor_svc_mutex);
    qor_svc_routes_flush_locked();
    qorthread_mutex_unlock(&qor_svc_mutex);
}
