// qorinstallpath.h: the installation's directories, by index. The
// configuration reader finds "dxqor.conf" in qor_path_etc, the message
// start-up finds its catalogues in qor_path_nls_msg and qor_path_lox.
//
// Environment: DXQOR_ROOT, when set to a non-empty value, relocates every
// entry under that prefix (trailing slashes ignored): DXQOR_ROOT=/tmp/x
// makes qor_path_etc "/tmp/x/opt/dxqor/etc/". It is read once, on first use,
// and ignored in set-user-id and set-group-id processes.
//
// The paths below are the build's default; the Debian packages' build
// (cmake -DDXQOR_LAYOUT=debian) has /etc/dxqor/, /usr/sbin/,
// /usr/lib/<triplet>/, /var/lib/dxqor/sm/, /var/log/dxqor/ and
// /usr/share/dxqor/nls/msg/ in their place.
#pragma once
#include "core/system/qorstatus.h"

enum : int {
    qor_path_bin = 0,         // /opt/dxqor/bin/
    qor_path_etc = 1,         // /opt/dxqor/etc/
    qor_path_none_2 = 2,      // no directory
    qor_path_sbin = 3,        // /opt/dxqor/sbin/
    qor_path_lib = 4,         // /opt/dxqor/lib/
    qor_path_none_5 = 5,      // no directory
    qor_path_db = 6,          // /var/dxqor/db/
    qor_path_keytab = 7,      // /var/dxqor/keytab/
    qor_path_init_d = 8,      // /etc/init.d/
    qor_path_rc3_d = 9,       // /etc/rc.d/rc3.d/
    qor_path_sm = 10,         // /var/dxqor/sm/
    qor_path_plugin_lib = 11, // /opt/dxqor/plugin/lib/
    qor_path_nls_msg = 12,    // /opt/dxqor/nls/msg/
    qor_path_lox = 13,        // /opt/Keystead/nls/LOX/
    qor_path_nls_html = 14,   // /opt/dxqor/nls/html/
    qor_path_rte_lib = 15,    // /opt/dxrte/lib/
    qor_path_log = 16,        // /var/dxqor/log/
    qor_path_count = 17,
};

extern "C" {

// Sets *path to the directory of entry index, ending in "/". The text stays
// valid until qor_install_path_reset. qor_s_not_available for an entry that
// has no directory, qor_s_invalid_argument for an index outside the table
// or a null path, qor_s_no_memory when the relocated table cannot be built.
// Safe from any thread.
QORStatus qor_install_path(int index, const char** path);

// Forgets the table so that the next call reads DXQOR_ROOT again, and frees
// it. For tests and library shutdown: REQUIRES that no thread still uses a
// path returned before.
void qor_install_path_reset(void);
}
