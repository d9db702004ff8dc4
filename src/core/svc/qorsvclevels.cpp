// qorsvclevels.cpp: sub-component debug levels and the callbacks that hear
// of their changes (the trace registry follows the product's levels so).
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include "core/svc/qorsvcroute.h"
#include "core/svc/qorsvcstate.h"
#include "core/threads/qorthread.h"

namespace {

enum { kMaxCallbacks = 16 };

dx_svc_levels_cb_t g_callbacks[kMaxCallbacks];
int g_callbackCount;

struct Change {
    int row;
    uint32_t msgid;
    unsigned level;
};

// The row an item names, by name or description (case ignored); -1 if none.
int findRow(dx_svc_handle_t handle, const char* name, size_t len)
{
    for (int i = 0; i < handle->subcomp_count; i++) {
        const dx_svc_subcomp_t& row = handle->table[i];
        if (strlen(row.sc_name) == len &&
            strncasecmp(row.sc_name, name, len) == 0)
            return i;
        if (row.sc_descr && strlen(row.sc_descr) == len &&
            strncasecmp(row.sc_descr, name, len) == 0)
            return i;
    }
    return -1;
}

// Reads "sub.level,sub.level,..." into levels[row] (-1: not named).
bool parseLevels(dx_svc_handle_t handle, const char* list, int* levels)
{
    for (const char* p = list;;) {
        while (*p == ' ')
            p++;
        const char* end = strchr(p, ',');
        if (end == nullptr)
            end = p + strlen(p);
        const char* dot = end;
        while (dot > p && *dot != '.')
            dot--;
        const char* digits = dot + 1;
        size_t nameLength = dot - p;
        while (nameLength > 0 && p[nameLength - 1] == ' ')
            nameLength--;
        const char* last = end;
        while (last > digits && last[-1] == ' ')
            last--;
        if (*dot != '.' || last - digits != 1 || *digits < '0' ||
            *digits > '0' + dx_svc_c_max_level)
            return false;
        int level = *digits - '0';
        if (nameLength == 1 && *p == '*') {
            for (int i = 0; i < handle->subcomp_count; i++)
                levels[i] = level;
        } else {
            int row = findRow(handle, p, nameLength);
            if (row < 0)
                return false;
            levels[row] = level;
        }
        if (*end == '\0')
            return true;
        p = end + 1;
    }
}

void setLevels(const char* spec, QORStatus* status, bool announce)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    const char* colon = spec ? strchr(spec, ':') : nullptr;
    st = dx_svc_s_bad_routespec;
    if (colon == nullptr)
        return;
    char* component = strndup(spec, colon - spec);
    if (component == nullptr) {
        st = dx_svc_s_no_memory;
        return;
    }
    Change* changes = nullptr;
    int changeCount = 0;
    dx_svc_levels_cb_t callbacks[kMaxCallbacks];
    int callbackCount = 0;
    dx_svc_handle_t handle;
    {
        QORMutexLock lock(qor_svc_mutex);
        qor_svc_start_locked();
        handle = qor_svc_find_handle_locked(component);
        int rows = handle ? handle->subcomp_count : 0;
        int* levels = static_cast<int*>(malloc((rows + 1) * sizeof(int)));
        changes = static_cast<Change*>(malloc((rows + 1) * sizeof(Change)));
        if (levels == nullptr || changes == nullptr)
            st = dx_svc_s_no_memory;
        for (int i = 0; levels && i < rows; i++)
            levels[i] = -1;
        if (handle && levels && changes &&
            parseLevels(handle, colon + 1, levels)) {
            for (int i = 0; i < rows; i++) {
                if (levels[i] < 0)
                    continue;
                dx_svc_subcomp_t& row = handle->table[i];
                __atomic_store_n(&row.sc_level, (uint32_t)levels[i],
                                 __ATOMIC_RELAXED);
                changes[changeCount++] = {i, row.sc_descr_msgid,
                                          (unsigned)levels[i]};
            }
            handle->levels_filled = 1;
            st = 0;
        }
        free(levels);
        if (announce) {
            callbackCount = g_callbackCount;
            memcpy(callbacks, g_callbacks, sizeof(callbacks));
        }
    }
    // Callbacks run unlocked: they may look up texts and take their own
    // locks, which must never nest inside ours.
    for (int c = 0; c < callbackCount; c++) {
        for (int i = 0; i < changeCount; i++)
            callbacks[c](handle, changes[i].row, changes[i].msgid,
                         changes[i].level);
    }
    free(changes);
    free(component);
}

} // namespace

extern "C" void dx_svc_debug_set_levels(const char* specification,
                                        QORStatus* status)
{
    setLevels(specification, status, true);
}

extern "C" void dx_svc_debug_set_levels_nocb(const char* specification,
                                             QORStatus* status)
{
    setLevels(specification, status, false);
}

extern "C" unsigned dx_svc_debug_get_level(dx_svc_handle_t handle,
                                           int subcomponent)
{
    if (handle == nullptr || subcomponent < 0 ||
        subcomponent >= handle->subcomp_count)
        return 0;
    return __atomic_load_n(&handle->table[subcomponent].sc_level,
                           __ATOMIC_RELAXED);
}

extern "C" void dx_svc_register_callbacks(dx_svc_levels_cb_t cb,
                                          QORStatus* status)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    st = qor_s_invalid_argument;
    if (cb == nullptr)
        return;
    QORMutexLock lock(qor_svc_mutex);
    st = 0;
    for (int i = 0; i < g_callbackCount; i++) {
        if (g_callbacks[i] == cb)
            return;
    }
    if (g_callbackCount == kMaxCallbacks) {
        st = dx_svc_s_no_memory;
        return;
    }
    g_callbacks[g_callbackCount++] = cb;
}

extern "C" void dx_svc_unregister_callbacks(dx_svc_levels_cb_t cb,
                                            QORStatus* status)
{
    QORStatus ignored;
    QORStatus& st = status ? *status : ignored;
    QORMutexLock lock(qor_svc_mutex);
    st = 0;
    for (int i = 0; i < g_callbackCount; i++) {
        if (g_callbacks[i] == cb) {
            g_callbacks[i] = g_callbacks[--g_callbackCount];
            return;
        }
    }
}

void qor_svc_levels_free_locked(void)
{
    g_callbackCount = 0;
}
