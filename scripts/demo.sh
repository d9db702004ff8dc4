#!/usr/bin/env bash
# make demo: dxqor in front of a real Apache (or nginx) on this machine.
#
#   scripts/demo.sh        build, install under the build tree, start the
#                          authorization server and the web server on a free
#                          loopback port, walk through the cases with curl;
#                          both keep running (with CI set, or when a step
#                          fails, they are stopped at the end)
#   scripts/demo.sh stop   stop both (make demo-stop)
#
# WEB selects the web server: apache (the default) or nginx
# (make demo WEB=nginx).
#
# Everything lives under $BUILD/release/demo (BUILD defaults to build): the
# relocated installation (install/opt/dxqor, install/var/dxqor), the site,
# the policy, the web server's configuration and the logs.
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

stop_all() {
  site_stop "$DEMO" || true
  [ "$STOPPED" -eq 0 ] || echo "demo stopped"
}

if [ "${1:-}" = stop ]; then
  stop_all
  exit 0
fi

site_build "$OUT" "$JOBS" "$WEB"
stop_all
# From here on a failure, or the end of the demo with CI set, stops what
# was started.
on_exit() {
  local rc=$?
  if [ $rc -ne 0 ] || [ -n "${CI:-}" ]; then stop_all; fi
  [ $rc -eq 0 ] || echo "demo FAILED; logs: $DEMO/error.log, $(site_log "$DEMO")" >&2
  exit $rc
}
trap on_exit EXIT
trap 'exit 1' INT TERM
site_install "$OUT" "$DEMO" "$WEB"

# The site: a public area, a page for any signed-in user that echoes the
# identity header, an admin area for one group.
mkdir -p "$DEMO/site/public" "$DEMO/site/private" "$DEMO/site/admin"
echo "<p>public page</p>" > "$DEMO/site/public/index.html"
echo "<p>admin page</p>" > "$DEMO/site/admin/index.html"
cat > "$DEMO/site/private/whoami.cgi" <<'CGI'
#!/bin/sh
printf 'Content-Type: text/plain\r\n\r\n'
echo "signed in as: $HTTP_X_DXQOR_USER"
CGI
chmod 755 "$DEMO/site/private/whoami.cgi"
site_policy "$DEMO" demo
site_plugin_conf "$DEMO" demo
chmod -R a+rX "$DEMO"

PORT=$(free_port)
if [ "$WEB" = nginx ]; then
  # nginx runs no CGI: the page that echoes the identity header is a second
  # server on another loopback port, reached through proxy_pass once dxqor
  # has decided.
  ECHO_PORT=$(free_port)
  web_conf nginx "$DEMO" "$DEMO" "$PORT" "$(
    nginx_server "$PORT" localhost demo \
      "location = /private/whoami.cgi { proxy_pass http://127.0.0.1:$ECHO_PORT; }"
    cat <<CONF
  server {
    listen 127.0.0.1:$ECHO_PORT;
    location / { return 200 "signed in as: \$http_x_dxqor_user\n"; }
  }
CONF
  )"
else
  # Enough processes for a browser's parallel connections.
  web_conf apache "$DEMO" "$DEMO" "$PORT" "$(apache_vhost "$PORT" localhost demo)" SERVERS=8
fi

echo "== starting dxqor-authzd (server ID $(site_server_id "$DEMO"))"
authzd_start "$DEMO"
echo "== starting $WEB_NAME on 127.0.0.1:$PORT"
web_start "$WEB" "$DEMO"
wait_for curl -s -o /dev/null "http://127.0.0.1:$PORT/public/"

URL=http://127.0.0.1:$PORT
failed=0
# show "what" expected curl-arguments...: prints the request and what came
# back. expected is a status, or "status|text" for a body that must hold
# text; when the response is not the one expected, the request, what was
# expected and what came back, headers and body.
show() {
  local what=$1 want=${2%%|*} text=
  [ "$2" = "$want" ] || text=${2#*|}
  shift 2
  local status line
  status=$(curl -s --max-time 20 -D "$DEMO/last.head" -o "$DEMO/last.body" \
             -w '%{http_code}' "$@") || true
  line=$(grep -m1 -E 'signed in as|page|<title>' "$DEMO/last.body" 2>/dev/null |
           sed -e 's/<[^>]*>//g') || true
  printf '%-44s curl %-44s -> %s %s\n' "$what" "$*" "$status" "$line"
  if [ "$status" != "$want" ] ||
     { [ -n "$text" ] && ! grep -qF -- "$text" "$DEMO/last.body" 2>/dev/null; }; then
    echo "   FAILED: $what: curl $*"
    echo "   expected $want${text:+ with \"$text\" in the body}, got $status:"
    sed -e 's/\r$//' -e 's/^/   | /' "$DEMO/last.head" 2>/dev/null || true
    head -c 2000 "$DEMO/last.body" 2>/dev/null | sed -e 's/^/   | /' || true
    failed=1
  fi
}

echo
echo "== the cases"
show "public page, decided by the cache" 200 "$URL/public/"
show "signed-in page without a login" 401 "$URL/private/whoami.cgi"
show "signed-in page as bob" "200|signed in as: bob" -u bob:builder "$URL/private/whoami.cgi"
show "a forged identity header is dropped" "200|signed in as: bob" -u bob:builder -H "X-Dxqor-User: root" \
  "$URL/private/whoami.cgi"
show "admin area as bob (not an admin)" 403 -u bob:builder "$URL/admin/"
show "admin area as alice" 200 -u alice:wonderland "$URL/admin/"
echo "-- the authorization server is stopped"
kill "$(cat "$DEMO/authzd.pid")"
wait_for test ! -e "$DEMO/authzd.pid"
show "signed-in page, server down" 503 -u bob:builder "$URL/private/whoami.cgi"
show "public page, server down (cache)" 200 "$URL/public/"
echo "-- the authorization server is started again"
authzd_start "$DEMO"
ok_again() { [ "$(curl -s -o /dev/null -w '%{http_code}' -u bob:builder "$URL/private/whoami.cgi")" = 200 ]; }
wait_for ok_again || true
show "signed-in page, server back" "200|signed in as: bob" -u bob:builder "$URL/private/whoami.cgi"
echo

[ $failed -eq 0 ] || exit 1
if [ -z "${CI:-}" ]; then
  echo "$WEB_NAME with dxqor is running at $URL/ (users bob:builder, alice:wonderland)"
  echo "logs: $DEMO/error.log, $(site_log "$DEMO")"
  echo "stop both with: make demo-stop"
fi
echo "demo finished"
