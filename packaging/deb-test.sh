#!/usr/bin/env bash
# deb-test.sh: the CTest test deb. Builds the Debian packages
# (packaging/build-deb.sh), runs lintian on them (no error allowed), and
# installs them with dpkg -i into a throwaway root: an overlay over this
# machine's root file system, in mount, IPC and PID namespaces of its own,
# so that nothing it installs, starts or makes outlives the test, whatever
# happens. There it checks
#   - the install: the system user, the policy's ownership, the unit valid
#     (systemd-analyze verify), enabled and not started, the state
#     directories, the nginx module's link;
#   - "a2enmod dxqor" and the sample policy: dxqor-authzd started as its
#     unit says, an Apache on a free loopback port with our own
#     configuration that includes the enabled module files, and an nginx
#     with the enabled module load file, each giving 200 for the open area,
#     401 without and with a wrong password, 200 with a user of the policy
#     and 403 for one it refuses;
#   - dpkg -r leaves nothing but conffiles (and the logs and enable state
#     the purge clears), dpkg -P nothing at all.
#   packaging/deb-test.sh OUT      (OUT: where the packages are built)
# Exit 77 (skipped) when not root: dpkg and the namespaces need it.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
PACKAGES=(libdxqor dxqor-authzd libapache2-mod-dxqor libnginx-mod-http-dxqor)

fail() { echo "deb: $*" >&2; exit 1; }

# free_port and wait_for (a minute at most here: a package install under
# load is slow).
TAG=deb WAIT_SECONDS=60
# shellcheck source=../scripts/site-common.sh
. "$SRC/scripts/site-common.sh"

# Run inside the chroot: the install, the servers and the checks (phase
# "use"), then the removal (phase "remove") and the purge (phase "purge").
inside_root() {
  local phase=$1 T=/tmp/debtest
  case $phase in
  install)
    dpkg -i /tmp/debs/*.deb >"$T/dpkg.log" 2>&1 || { cat "$T/dpkg.log"; fail "dpkg -i failed"; }
    getent passwd dxqor >/dev/null || fail "no user dxqor"
    [ "$(stat -c %U:%G:%a /etc/dxqor/htpasswd)" = root:dxqor:640 ] ||
      fail "/etc/dxqor/htpasswd is $(stat -c %U:%G:%a /etc/dxqor/htpasswd), not root:dxqor:640"
    [ "$(stat -c %U:%a /var/lib/dxqor/sm)" = dxqor:755 ] || fail "no state directory /var/lib/dxqor/sm"
    [ -L /etc/systemd/system/multi-user.target.wants/dxqor-authzd.service ] ||
      fail "dxqor-authzd.service is not enabled"
    ! pgrep -x dxqor-authzd >/dev/null || fail "the install started dxqor-authzd"
    local verify
    verify=$(systemd-analyze verify /lib/systemd/system/dxqor-authzd.service 2>&1) && [ -z "$verify" ] ||
      fail "systemd-analyze verify dxqor-authzd.service: $verify"
    [ "$(readlink /etc/nginx/modules-enabled/50-mod-http-dxqor.conf)" = \
      /usr/share/nginx/modules-available/mod-http-dxqor.conf ] ||
      fail "the nginx module is not linked into /etc/nginx/modules-enabled"
    for p in "${PACKAGES[@]}"; do
      [ "$(dpkg-query -W -f='${Status}' "$p")" = "install ok installed" ] || fail "$p is not installed"
    done
    ;;
  use) use_servers ;;
  remove) dpkg -r "${PACKAGES[@]}" >"$T/dpkg.log" 2>&1 || { cat "$T/dpkg.log"; fail "dpkg -r failed"; } ;;
  purge) dpkg -P "${PACKAGES[@]}" >"$T/dpkg.log" 2>&1 || { cat "$T/dpkg.log"; fail "dpkg -P failed"; } ;;
  esac
}

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# The status of GET http://127.0.0.1:PORT/PATH [user:password].
status_of() {
  curl -s -o /dev/null -w '%{http_code}' --max-time 60 ${3:+-u "$3"} \
    -H 'Host: www.example.com' "http://127.0.0.1:$1$2"
}

# One value of the unit's [Service] section.
unit_value() {
  sed -n "s/^$1=//p" /lib/systemd/system/dxqor-authzd.service | head -1
}

# The sample policy through each web server: open area, login required,
# wrong password, a user it lets in, a user it refuses.
check_policy() {
  local name=$1 port=$2 got want path cred row
  while IFS='|' read -r want path cred; do
    got=$(status_of "$port" "$path" "$cred") || true
    row="$name GET $path${cred:+ as $cred}"
    [ "$got" = "$want" ] || fail "$row: $got, not $want"
    echo "deb: $row: $got"
  done <<'EOF'
200|/index.html|
401|/private/index.html|
401|/private/index.html|alice:not-her-password
200|/private/index.html|alice:wonderland
200|/private/index.html|bob:builder
403|/private/index.html|carol:singer
EOF
}

# A worker attaches to the authorization server in the background and
# answers 503 until it has: the open page is served once it has.
attached() { [ "$(status_of "$1" /index.html)" = 200 ]; }

server_pid() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }
gone() { ! kill -0 "$1" 2>/dev/null; }
no_ipc_left() { [ -z "$(ipcs -m | awk '$1 ~ /^0x/')" ] && [ -z "$(ipcs -s | awk '$1 ~ /^0x/')" ]; }
channel_made() { [ "$(ipcs -s | awk '$1 ~ /^0x/ && $3 == "dxqor"' | wc -l)" -ge 2 ]; }

use_servers() {
  local T=/tmp/debtest port nport
  mkdir -p "$T/site/private" "$T/apache" "$T/nginx"
  echo "<p>open</p>" >"$T/site/index.html"
  echo "<p>private</p>" >"$T/site/private/index.html"
  chmod -R a+rX "$T"

  # The install holds no user; the guide's sample users are put in place
  # as an administrator would.
  ! grep -qv '^#' /etc/dxqor/htpasswd || fail "the package installs users in /etc/dxqor/htpasswd"
  cp /usr/share/doc/dxqor-authzd/examples/htpasswd /etc/dxqor/htpasswd

  a2enmod -q dxqor || fail "a2enmod dxqor failed"
  [ -L /etc/apache2/mods-enabled/dxqor.load ] && [ -L /etc/apache2/mods-enabled/dxqor.conf ] ||
    fail "a2enmod dxqor linked no dxqor.load and dxqor.conf"

  # The authorization server as its unit starts it: the policy checked
  # first, then run as the unit's user and groups.
  local user group groups as
  user=$(unit_value User) group=$(unit_value Group) groups=$(unit_value SupplementaryGroups)
  as=(setpriv --reuid="$user" --regid="$group")
  if [ -n "$groups" ]; then as+=(--groups="${groups// /,}"); else as+=(--clear-groups); fi
  # shellcheck disable=SC2046
  "${as[@]}" -- $(unit_value ExecStartPre) ||
    fail "the unit's ExecStartPre failed: $(unit_value ExecStartPre)"
  # shellcheck disable=SC2046
  "${as[@]}" -- $(unit_value ExecStart) >"$T/authzd.log" 2>&1 &
  authzd=$!
  trap 'kill ${authzd:-} ${apache:-} ${nginx:-} 2>/dev/null || true' EXIT
  wait_for channel_made || { cat "$T/authzd.log"; fail "dxqor-authzd made no channel"; }

  port=$(free_port) || fail "no free port"
  cat >"$T/apache/httpd.conf" <<EOF
ServerRoot "$T/apache"
PidFile "$T/apache/httpd.pid"
ErrorLog "$T/apache/error.log"
LogLevel warn
Listen 127.0.0.1:$port
User www-data
Group www-data
LoadModule mpm_prefork_module /usr/lib/apache2/modules/mod_mpm_prefork.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule dir_module /usr/lib/apache2/modules/mod_dir.so
# One child, the one whose attachment is awaited below.
StartServers 1
MinSpareServers 1
MaxSpareServers 1
ServerLimit 1
MaxRequestWorkers 1
# What a2enmod enabled.
Include /etc/apache2/mods-enabled/dxqor.load
Include /etc/apache2/mods-enabled/dxqor.conf
ServerName www.example.com
DocumentRoot "$T/site"
<Directory "$T/site">
  Require all granted
</Directory>
<VirtualHost 127.0.0.1:$port>
  ServerName www.example.com
  Dxqor On
</VirtualHost>
EOF
  apache2 -f "$T/apache/httpd.conf" -k start || { cat "$T/apache/error.log"; fail "Apache did not start"; }
  wait_for server_pid "$T/apache/httpd.pid" || fail "Apache wrote no pid file"
  apache=$(cat "$T/apache/httpd.pid")
  wait_for listening "$port" || fail "Apache does not listen on $port"
  wait_for attached "$port" || fail "Apache's worker did not attach to dxqor-authzd"
  check_policy Apache "$port" || { cat "$T/apache/error.log"; exit 1; }

  nport=$(free_port) || fail "no free port"
  cat >"$T/nginx/nginx.conf" <<EOF
# What the package linked into modules-enabled.
include /etc/nginx/modules-enabled/50-mod-http-dxqor.conf;
user www-data;
worker_processes 1;
pid $T/nginx/nginx.pid;
error_log $T/nginx/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $T/nginx/body;
  proxy_temp_path $T/nginx/proxy;
  fastcgi_temp_path $T/nginx/fastcgi;
  uwsgi_temp_path $T/nginx/uwsgi;
  scgi_temp_path $T/nginx/scgi;
  include /usr/share/doc/libnginx-mod-http-dxqor/examples/nginx-dxqor.conf;
  server {
    listen 127.0.0.1:$nport;
    server_name www.example.com;
    root $T/site;
    dxqor on;
  }
}
EOF
  nginx -e "$T/nginx/error.log" -c "$T/nginx/nginx.conf" || { cat "$T/nginx/error.log"; fail "nginx did not start"; }
  wait_for server_pid "$T/nginx/nginx.pid" || fail "nginx wrote no pid file"
  nginx=$(cat "$T/nginx/nginx.pid")
  wait_for listening "$nport" || fail "nginx does not listen on $nport"
  wait_for attached "$nport" || fail "nginx's worker did not attach to dxqor-authzd"
  check_policy nginx "$nport" || { cat "$T/nginx/error.log"; exit 1; }

  # The shipped policy keeps an audit trail where the unit lets it write.
  [ -s /var/log/dxqor/audit.log ] || fail "no audit trail in /var/log/dxqor/audit.log"

  kill "$apache" "$nginx"
  wait_for gone "$apache" || fail "Apache did not stop"
  wait_for gone "$nginx" || fail "nginx did not stop"
  kill "$authzd"
  wait "$authzd" || fail "dxqor-authzd exited with $?"
  wait_for no_ipc_left || { ipcs; fail "IPC objects left behind"; }
  trap - EXIT
}

# Files the overlay holds that the host's root has not, or has otherwise:
# what the packages left, one "what path" line each. dpkg's own records and
# logs, the password files' backups, the linker and manual caches and our
# policy-rc.d are not counted.
leftovers() {
  local upper=$1 p
  ( cd "$upper" && find . -mindepth 1 ) | sed 's|^\.||' | sort | while read -r p; do
    case $p in
      /var/lib/dpkg|/var/lib/dpkg/*|/var/log|/var/log/dpkg.log|/var/log/alternatives.log) continue ;;
      /var/cache|/var/cache/debconf|/var/cache/debconf/*|/var/cache/ldconfig|/var/cache/ldconfig/*) continue ;;
      /var/cache/man|/var/cache/man/*) continue ;;
      /etc/passwd-|/etc/group-|/etc/shadow-|/etc/gshadow-|/etc/ld.so.cache|/usr/sbin/policy-rc.d) continue ;;
      /tmp|/run|/proc|/dev|/sys) continue ;;
    esac
    local u=$upper$p
    if [ -c "$u" ] && [ "$(stat -c %t:%T "$u")" = 0:0 ]; then
      echo "removed $p"
    elif [ -d "$u" ] && [ ! -L "$u" ]; then
      [ -d "$p" ] && [ ! -L "$p" ] || echo "new-dir $p"
    elif [ -L "$u" ]; then
      [ -L "$p" ] && [ "$(readlink "$u")" = "$(readlink "$p")" ] || echo "new-link $p"
    elif [ -f "$p" ] && [ ! -L "$p" ] && cmp -s "$u" "$p"; then
      continue
    else
      echo "new-file $p"
    fi
  done
}

# In the namespaces: the overlay root, the phases, the leftover checks.
in_namespaces() {
  local out=$1 top merged upper
  top=$out/throwaway
  mount -t tmpfs -o mode=0755 dxqor-deb "$top"
  mkdir "$top/upper" "$top/work" "$top/root"
  upper=$top/upper merged=$top/root
  mount -t overlay dxqor-deb -o "lowerdir=/,upperdir=$upper,workdir=$top/work" "$merged"
  mount -t proc proc "$merged/proc"
  mount --rbind /dev "$merged/dev"
  mount --rbind /sys "$merged/sys"
  mount -t tmpfs -o mode=1777 tmp "$merged/tmp"
  mount -t tmpfs -o mode=0755 run "$merged/run"
  mkdir -p "$merged/tmp/debs" "$merged/tmp/debtest" "$merged/tmp/debsrc/packaging" \
    "$merged/tmp/debsrc/scripts"
  # The tree may lie below /tmp, which the root has a new one of: the
  # phases run from a copy of what they read.
  cp "$SRC/packaging/deb-test.sh" "$merged/tmp/debsrc/packaging/"
  cp "$SRC/scripts/site-common.sh" "$merged/tmp/debsrc/scripts/"
  cp "$out"/*.deb "$merged/tmp/debs/"
  rm -f "$merged"/tmp/debs/*-dbgsym_*.deb
  # No service of the root is started or reloaded by a maintainer script.
  printf '#!/bin/sh\nexit 101\n' >"$merged/usr/sbin/policy-rc.d"
  chmod 755 "$merged/usr/sbin/policy-rc.d"

  local phase
  for phase in install use; do
    chroot "$merged" /bin/bash /tmp/debsrc/packaging/deb-test.sh --phase "$phase"
  done
  echo "deb: installed and used"

  chroot "$merged" /bin/bash /tmp/debsrc/packaging/deb-test.sh --phase remove
  # Left after dpkg -r: the conffiles (with their directories and the user
  # that owns the policy), the logs (the audit trail), the unit's enable
  # link and deb-systemd-helper's record of it, the nginx module's parked
  # link and a2dismod's note, all of which the purge removes.
  local conffiles left
  conffiles=$(for p in "${PACKAGES[@]}"; do
                chroot "$merged" dpkg-query -W -f='${Conffiles}\n' "$p" | awk 'NF {print $1}'
              done)
  left=$(leftovers "$upper" | while read -r what p; do
    grep -qxF "$p" <<<"$conffiles" && continue
    case $p in
      /etc|/etc/dxqor|/etc/apache2|/etc/apache2/mods-available) continue ;;
      /etc/passwd|/etc/group|/etc/shadow|/etc/gshadow) continue ;;
      /etc/systemd|/etc/systemd/system|/etc/systemd/system/multi-user.target.wants) continue ;;
      /etc/systemd/system/multi-user.target.wants/dxqor-authzd.service) continue ;;
      /var/lib|/var/lib/systemd|/var/lib/systemd/deb-systemd-helper-*) continue ;;
      /var/log/dxqor|/var/log/dxqor/*) continue ;;
      /etc/nginx|/etc/nginx/modules-enabled|/etc/nginx/modules-enabled/50-mod-http-dxqor.conf.removed) continue ;;
      /var/lib/apache2|/var/lib/apache2/module|/var/lib/apache2/module/*) continue ;;
    esac
    echo "$what $p"
  done)
  [ -z "$left" ] || fail "dpkg -r left more than conffiles:"$'\n'"$left"
  echo "deb: removed, conffiles kept"

  chroot "$merged" /bin/bash /tmp/debsrc/packaging/deb-test.sh --phase purge
  # a2enmod and a2dismod keep their notes in directories of Apache's own,
  # which stay when empty.
  left=$(leftovers "$upper" | while read -r what p; do
    case $what:$p in
      new-dir:/var/lib/apache2|new-dir:/var/lib/apache2/module) continue ;;
      new-dir:/var/lib/apache2/module/*) [ -z "$(ls -A "$upper$p")" ] && continue ;;
    esac
    echo "$what $p"
  done)
  [ -z "$left" ] || fail "dpkg -P left:"$'\n'"$left"
  echo "deb: purged, nothing left"
}

case "${1:-}" in
  --phase) inside_root "$2"; exit 0 ;;
  --namespaces) in_namespaces "$2"; exit 0 ;;
esac

[ "$(id -u)" -eq 0 ] || { echo "deb: skipped: installing packages needs root"; exit 77; }
OUT=${1:?usage: deb-test.sh OUT}
for c in dpkg-buildpackage lintian unshare setpriv a2enmod apache2 nginx curl; do
  command -v "$c" >/dev/null || fail "$c is missing (scripts/deps.sh installs it)"
done
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

echo "deb: building the packages"
JOBS=${JOBS:-2} bash "$SRC/packaging/build-deb.sh" "$OUT" >/dev/null

echo "deb: lintian"
lintian --fail-on error "$OUT"/*.changes >"$OUT/lintian.log" 2>&1 || {
  cat "$OUT/lintian.log"
  fail "lintian reports errors"
}
cat "$OUT/lintian.log"

mkdir -p "$OUT/throwaway"
rc=0
unshare --mount --ipc --pid --fork --propagation private \
  bash "$SRC/packaging/deb-test.sh" --namespaces "$OUT" || rc=$?
# The namespaces are gone with their last process: the overlay, the
# processes and the IPC objects with them.
rmdir "$OUT/throwaway"
exit "$rc"
