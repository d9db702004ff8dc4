// qorinstallpath.cpp: the fixed table and its relocation under DXQOR_ROOT.
#include "core/system/qorinstallpath.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The Debian packages' build (DXQOR_DEBIAN_LAYOUT) compiles in the Debian
// directories; DXQOR_MULTIARCH_LIBDIR is then /usr/lib/<triplet>/.
#ifdef DXQOR_DEBIAN_LAYOUT
const char* const kInstallPaths[qor_path_count] = {
    "/usr/bin/",
    "/etc/dxqor/",
    nullptr,
    "/usr/sbin/",
    DXQOR_MULTIARCH_LIBDIR,
    nullptr,
    "/var/lib/dxqor/db/",
    "/var/lib/dxqor/keytab/",
    "/etc/init.d/",
    "/etc/rc.d/rc3.d/",
    "/var/lib/dxqor/sm/",
    DXQOR_MULTIARCH_LIBDIR "dxqor/",
    "/usr/share/dxqor/nls/msg/",
    "/usr/share/dxqor/nls/lox/",
    "/usr/share/dxqor/nls/html/",
    DXQOR_MULTIARCH_LIBDIR,
    "/var/log/dxqor/",
};
#else
const char* const kInstallPaths[qor_path_count] = {
    "/opt/dxqor/bin/",
    "/opt/dxqor/etc/",
    nullptr,
    "/opt/dxqor/sbin/",
    "/opt/dxqor/lib/",
    nullptr,
    "/var/dxqor/db/",
    "/var/dxqor/keytab/",
    "/etc/init.d/",
    "/etc/rc.d/rc3.d/",
    "/var/dxqor/sm/",
    "/opt/dxqor/plugin/lib/",
    "/opt/dxqor/nls/msg/",
    "/opt/Keystead/nls/LOX/",
    "/opt/dxqor/nls/html/",
    "/opt/dxrte/lib/",
    "/var/dxqor/log/",
};
#endif

// A relocated table. The texts follow the struct in the same block, so one
// free releases it all.
struct RelocatedPaths {
    const char* path[qor_path_count];
};

// Null until first use, then kInstallPaths itself when DXQOR_ROOT is unset
// (the common case allocates nothing) or g_relocated's entries. The mutex
// serialises building and resetting; readers only load the pointer.
std::atomic<const char* const*> g_paths{nullptr};
RelocatedPaths* g_relocated = nullptr;
std::mutex g_pathsLock;

// Builds the table under the prefix; null when out of memory.
RelocatedPaths* relocate(const char* root, size_t rootLength)
{
    size_t size = sizeof(RelocatedPaths);
    for (const char* p : kInstallPaths) {
        if (p != nullptr)
            size += rootLength + strlen(p) + 1;
    }
    RelocatedPaths* table = static_cast<RelocatedPaths*>(malloc(size));
    if (table == nullptr)
        return nullptr;
    char* text = reinterpret_cast<char*>(table + 1);
    for (int i = 0; i < qor_path_count; i++) {
        const char* p = kInstallPaths[i];
        if (p == nullptr) {
            table->path[i] = nullptr;
            continue;
        }
        size_t length = strlen(p);
        table->path[i] = text;
        memcpy(text, root, rootLength);
        memcpy(text + rootLength, p, length + 1);
        text += rootLength + length + 1;
    }
    return table;
}

const char* const* buildPaths()
{
    std::lock_guard<std::mutex> guard(g_pathsLock);
    const char* const* paths = g_paths.load(std::memory_order_relaxed);
    if (paths != nullptr)
        return paths;
    const char* root = secure_getenv("DXQOR_ROOT");
    size_t rootLength = root != nullptr ? strlen(root) : 0;
    while (rootLength > 0 && root[rootLength - 1] == '/')
        rootLength--;
    if (rootLength == 0) {
        paths = kInstallPaths;
    } else {
        g_relocated = relocate(root, rootLength);
        if (g_relocated == nullptr)
            return nullptr;
        paths = g_relocated->path;
    }
    g_paths.store(paths, std::memory_order_release);
    return paths;
}

} // namespace

extern "C" QORStatus qor_install_path(int index, const char** path)
{
    if (path == nullptr || index < 0 || index >= qor_path_count)
        return qor_s_invalid_argument;
    const char* const* paths = g_paths.load(std::memory_order_acquire);
    if (paths == nullptr) {
        paths = buildPaths();
        if (paths == nullptr)
            return qor_s_no_memory;
    }
    if (paths[index] == nullptr)
        return qor_s_not_available;
    *path = paths[index];
    return qor_s_ok;
}

extern "C" void qor_install_path_reset(void)
{
    std::lock_guard<std::mutex> guard(g_pathsLock);
    g_paths.store(nullptr, std::memory_order_release);
    free(g_relocated);
    g_relocated = nullptr;
}
