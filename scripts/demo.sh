#!/usr/bin/env bash
# make demo: dxqor in front of a real Apache (or nginx) on this machine.
#
#   scripts/demo.sh        build, install under the build tree, start the
#                          authorization server and the web server on a free
#                          loopback port, walk through the cases with curl;
#                          both keep running (with CI set they are stopped at
#                          the end)
#   scripts/demo.sh stop   stop both (make demo-stop)
#
# WEB selects the web server: apache (the default) or nginx
# (make demo WEB=nginx).
#
# Everything lives under $BUILD/release/demo (BUILD defaults to build): the
# relocated installation (opt/dxqor, var/dxqor), the site, the policy, the
# web server's configuration and the logs.
set -euo pipefail
cd "$(dirname "$0")/.."
TAG=demo
. scripts/site-common.sh
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
WEB=${WEB:-apache}
case "$WEB" in
  apache) WEB_NAME=Apache ;;
  nginx) WEB_NAME=nginx ;;
  *) echo "demo: WEB is apache or nginx, not $WEB" >&2; exit 2 ;;
esac
OUT=$PWD/$BUILD/release
DEMO=$OUT/demo
if [ "$(id -u)" -eq 0 ] && ! reachable "$OUT/demo"; then
  DEMO=/tmp/dxqor-demo
fi
PREFIX=$DEMO/install
ETC=$PREFIX/opt/dxqor/etc
SERVER_ID=$PREFIX/var/dxqor/sm/dxqor-authzd

stop_all() {
  local stopped=0
  local pid
  for pid in httpd nginx; do
    if [ -f "$DEMO/$pid.pid" ]; then
      kill "$(cat "$DEMO/$pid.pid")" 2>/dev/null && stopped=1 || true
    fi
  done
  if [ -f "$DEMO/authzd.pid" ]; then
    kill "$(cat "$DEMO/authzd.pid")" 2>/dev/null && stopped=1 || true
  fi
  # Both remove their pid files on the way out.
  for _ in $(seq 300); do
    [ -f "$DEMO/httpd.pid" ] || [ -f "$DEMO/nginx.pid" ] || [ -f "$DEMO/authzd.pid" ] || break
    sleep 0.1
  done
  rm -f "$DEMO/httpd.pid" "$DEMO/nginx.pid" "$DEMO/authzd.pid"
  [ $stopped -eq 0 ] || echo "demo stopped"
}

if [ "${1:-}" = stop ]; then
  stop_all
  exit 0
fi



echo "== building"
cmake -S . -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DDXQOR_ADAPTERS=ON >/dev/null
if [ "$WEB" = nginx ]; then
  cmake --build "$OUT" -j "$JOBS" --target ngx_http_dxqor_module dxqor-authzd
else
  cmake --build "$OUT" -j "$JOBS" --target mod_dxqor dxqor-authzd
fi

stop_all
echo "== installing under $PREFIX"
rm -rf "$DEMO"
mkdir -p "$PREFIX/opt/dxqor/bin" "$PREFIX/opt/dxqor/lib" "$ETC" \
         "$PREFIX/var/dxqor/sm" "$PREFIX/var/dxqor/log" "$DEMO/site"
cp "$OUT/dxqor-authzd" "$PREFIX/opt/dxqor/bin/"
cp "$OUT/libdxqor.so" "$PREFIX/opt/dxqor/lib/"
if [ "$WEB" = nginx ]; then
  cp "$OUT/adapters/nginx/ngx_http_dxqor_module.so" "$PREFIX/opt/dxqor/lib/"
else
  cp "$OUT/mod_dxqor.so" "$PREFIX/opt/dxqor/lib/"
fi
if [ -d "$OUT/root/opt/dxqor/nls" ]; then
  cp -r "$OUT/root/opt/dxqor/nls" "$PREFIX/opt/dxqor/"
fi
chmod -R a+rX "$DEMO"

# The site: a public area, a page for any signed-in user that echoes the
# identity header, an admin area for one group.
mkdir -p "$DEMO/site/public" "$DEMO/site/private" "$DEMO/site/admin"
echo "<p>public page</p>" > "$DEMO/site/public/index.html"
echo "<p>admin page</p>" > "$DEMO/site/admin/index.html"
cat > "$DEMO/site/private/whoami.cgi" <<'EOF'
#!/bin/sh
printf 'Content-Type: text/plain\r\n\r\n'
echo "signed in as: $HTTP_X_DXQOR_USER"
EOF
chmod 755 "$DEMO/site/private/whoami.cgi"

# The policy: two users (passwords "wonderland" and "builder"), both in
# "users"; alice alone in "admins".
grep -E '^(alice|bob):' packaging/htpasswd > "$ETC/htpasswd"
printf 'users: alice bob\nadmins: alice\n' > "$ETC/groups"
cat > "$ETC/dxqor-authzd.conf" <<EOF
[server]
server-id = $SERVER_ID
users-file = htpasswd
groups-file = groups
identity-header = X-Dxqor-User
realm = dxqor demo
route = ERROR:TEXTFILE:$PREFIX/var/dxqor/log/authzd.log
route = WARNING:TEXTFILE:$PREFIX/var/dxqor/log/authzd.log

[virtual-host demo]
branch = /demo

[object /demo]
unauthenticated = *

[object /demo/private]
group = users r

[object /demo/admin]
group = admins r
EOF
# The shipped bounds: a sick authorization server costs a request 30 s at
# most, never a web-server thread for good.
printf '[dxweb-plugins]\nvirtual-host = demo\nanswer-wait-limit = 30\nretry-limit = 10\nrefresh-wait-limit = 30\n' \
  > "$ETC/dxqor.conf"
chmod -R a+rX "$PREFIX"

PORT=$(free_port)
USER_LINE=""
[ "$(id -u)" -ne 0 ] || USER_LINE=$'User www-data\nGroup root'
MODULES=$(apxs -q LIBEXECDIR)
cat > "$DEMO/httpd.conf" <<EOF
ServerRoot "$DEMO"
PidFile "$DEMO/httpd.pid"
ErrorLog "$DEMO/error.log"
LogLevel warn
Listen 127.0.0.1:$PORT
LoadModule mpm_prefork_module $MODULES/mod_mpm_prefork.so
LoadModule authz_core_module $MODULES/mod_authz_core.so
LoadModule mime_module $MODULES/mod_mime.so
LoadModule dir_module $MODULES/mod_dir.so
LoadModule cgi_module $MODULES/mod_cgi.so
LoadModule dxqor_module $PREFIX/opt/dxqor/lib/mod_dxqor.so
$USER_LINE
StartServers 2
ServerName localhost
TypesConfig /dev/null
AddType text/html .html
DirectoryIndex index.html
DocumentRoot "$DEMO/site"
<Directory />
  AllowOverride None
  Require all denied
</Directory>
<Directory "$DEMO/site">
  Options +ExecCGI
  AddHandler cgi-script .cgi
  Require all granted
</Directory>
DxqorServerID "$SERVER_ID"
DxqorRoot "$PREFIX"
DxqorInitRetryInterval 1
DxqorStripHeader X-Dxqor-User
TraceEnable off
Dxqor On
DxqorVirtualHostID demo
EOF

if [ "$WEB" = nginx ]; then
  # nginx runs no CGI: the page that echoes the identity header is a second
  # server on another loopback port, reached through proxy_pass once dxqor
  # has decided. As root, the worker runs as nobody in group root, as
  # Apache's children run in group root.
  ECHO_PORT=$(free_port)
  NGINX_USER=""
  [ "$(id -u)" -ne 0 ] || NGINX_USER="user nobody root;"
  mkdir -p "$DEMO/nginx-tmp"
  cat > "$DEMO/nginx.conf" <<EOF
load_module $PREFIX/opt/dxqor/lib/ngx_http_dxqor_module.so;
$NGINX_USER
pid $DEMO/nginx.pid;
error_log $DEMO/error.log warn;
env DXQOR_ROOT=$PREFIX;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $DEMO/nginx-tmp/body;
  proxy_temp_path $DEMO/nginx-tmp/proxy;
  fastcgi_temp_path $DEMO/nginx-tmp/fastcgi;
  uwsgi_temp_path $DEMO/nginx-tmp/uwsgi;
  scgi_temp_path $DEMO/nginx-tmp/scgi;
  types { text/html html; }
  index index.html;
  dxqor_server_id $SERVER_ID;
  dxqor_init_retry 1s;
  dxqor_strip_header X-Dxqor-User;
  server {
    listen 127.0.0.1:$PORT;
    server_name localhost;
    root $DEMO/site;
    dxqor on;
    dxqor_vhost_id demo;
    location = /private/whoami.cgi { proxy_pass http://127.0.0.1:$ECHO_PORT; }
  }
  server {
    listen 127.0.0.1:$ECHO_PORT;
    location / { return 200 "signed in as: \$http_x_dxqor_user\n"; }
  }
}
EOF
fi

start_authzd() {
  DXQOR_ROOT=$PREFIX LD_LIBRARY_PATH=$PREFIX/opt/dxqor/lib \
    "$PREFIX/opt/dxqor/bin/dxqor-authzd" --config "$ETC/dxqor-authzd.conf" \
    --pid-file "$DEMO/authzd.pid"
  wait_for test -s "$DEMO/authzd.pid"
}

echo "== starting dxqor-authzd (server ID $SERVER_ID)"
start_authzd
echo "== starting $WEB_NAME on 127.0.0.1:$PORT"
if [ "$WEB" = nginx ]; then
  nginx -p "$DEMO" -c "$DEMO/nginx.conf" 2>>"$DEMO/error.log"
  wait_for test -s "$DEMO/nginx.pid"
else
  /usr/sbin/apache2 -f "$DEMO/httpd.conf"
  wait_for test -s "$DEMO/httpd.pid"
fi
wait_for curl -s -o /dev/null "http://127.0.0.1:$PORT/public/"

URL=http://127.0.0.1:$PORT
failed=0
# show "what" expected-status curl-arguments...: prints the request and
# what came back.
show() {
  local what=$1 want=$2
  shift 2
  local body status
  body=$(curl -s --max-time 20 -w '\n%{http_code}' "$@")
  status=${body##*$'\n'}
  body=${body%$'\n'*}
  local line
  line=$(printf '%s' "$body" | grep -m1 -E 'signed in as|page|<title>' | sed -e 's/<[^>]*>//g')
  printf '%-44s curl %-44s -> %s %s\n' "$what" "$*" "$status" "$line"
  if [ "$status" != "$want" ]; then
    echo "   expected $want"
    failed=1
  fi
}

echo
echo "== the cases"
show "public page, decided by the cache" 200 "$URL/public/"
show "signed-in page without a login" 401 "$URL/private/whoami.cgi"
show "signed-in page as bob" 200 -u bob:builder "$URL/private/whoami.cgi"
show "a forged identity header is dropped" 200 -u bob:builder -H "X-Dxqor-User: root" \
  "$URL/private/whoami.cgi"
show "admin area as bob (not an admin)" 403 -u bob:builder "$URL/admin/"
show "admin area as alice" 200 -u alice:wonderland "$URL/admin/"
echo "-- the authorization server is stopped"
kill "$(cat "$DEMO/authzd.pid")"
wait_for test ! -e "$DEMO/authzd.pid"
show "signed-in page, server down" 503 -u bob:builder "$URL/private/whoami.cgi"
show "public page, server down (cache)" 200 "$URL/public/"
echo "-- the authorization server is started again"
start_authzd
ok_again() { [ "$(curl -s -o /dev/null -w '%{http_code}' -u bob:builder "$URL/private/whoami.cgi")" = 200 ]; }
wait_for ok_again || true
show "signed-in page, server back" 200 -u bob:builder "$URL/private/whoami.cgi"
echo

if [ -n "${CI:-}" ]; then
  stop_all
else
  echo "$WEB_NAME with dxqor is running at $URL/ (users bob:builder, alice:wonderland)"
  echo "logs: $DEMO/error.log, $PREFIX/var/dxqor/log/authzd.log"
  echo "stop both with: make demo-stop"
fi
if [ $failed -ne 0 ]; then
  echo "demo FAILED"
  exit 1
fi
echo "demo finished"
