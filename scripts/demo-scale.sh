#!/usr/bin/env bash
# make demo SCALE=2: two web servers, one sign-in. One slapd holds the
# users and groups, one redis-server the sessions; two sites, each an
# Apache with mod_dxqor and its own dxqor-authzd (its own server ID and
# port) with the same policy. curl signs in with the form on site A, uses
# the cookie on site B, logs out on B and finds the session gone on A.
#
#   scripts/demo-scale.sh        build, start everything, walk through it;
#                                everything keeps running (with CI set, or
#                                when a step fails, it is stopped)
#   scripts/demo-scale.sh stop   stop everything (make demo-stop SCALE=2)
#
# Everything lives under $BUILD/release/demo-scale: site-a, site-b (as
# make demo lays out one site), ldap (slapd's configuration and database)
# and redis.
set -euo pipefail
cd "$(dirname "$0")/.."
TAG=demo-scale
. scripts/site-common.sh
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
OUT=$PWD/$BUILD/release
DEMO=$OUT/demo-scale
if [ "$(id -u)" -eq 0 ] && ! reachable "$OUT/demo-scale"; then
  DEMO=/tmp/dxqor-demo-scale
fi
A=$DEMO/site-a
B=$DEMO/site-b

stop_all() {
  site_stop "$A" "$B" || true
  backends_stop "$DEMO"
}

if [ "${1:-}" = stop ]; then
  stop_all
  echo "demo stopped"
  exit 0
fi

site_build "$OUT" "$JOBS" apache
stop_all
on_exit() {
  local rc=$?
  if [ $rc -ne 0 ] || [ -n "${CI:-}" ]; then stop_all; fi
  [ $rc -eq 0 ] || echo "demo FAILED; logs under $DEMO" >&2
  exit $rc
}
trap on_exit EXIT
trap 'exit 1' INT TERM
echo "== starting redis-server and slapd"
mkdir -p "$DEMO"
backends_start "$DEMO"

# The sites: as make demo's, the same policy on both but for the server ID,
# with the users, groups and sessions of the shared servers.
for d in "$A" "$B"; do
  site_install "$OUT" "$d" apache
  mkdir -p "$d/site/public" "$d/site/private"
  echo "<p>public page</p>" > "$d/site/public/index.html"
  cat > "$d/site/private/whoami.cgi" <<'CGI'
#!/bin/sh
printf 'Content-Type: text/plain\r\n\r\n'
echo "signed in as: $HTTP_X_DXQOR_USER on $SERVER_PORT"
CGI
  chmod 755 "$d/site/private/whoami.cgi"
  site_policy "$d" demo
  cat >> "$(site_etc "$d")/dxqor-authzd.conf" <<EOF

[object /demo/private/form]
method = form
group = users r
EOF
  backends_policy "$DEMO" "$d"
  mkdir -p "$d/site/private/form"
  cp "$d/site/private/whoami.cgi" "$d/site/private/form/"
  site_plugin_conf "$d" demo
  chmod -R a+rX "$d/site" "$(site_prefix "$d")/opt"
  # The server refuses secrets anyone else may read.
  chmod 600 "$(site_etc "$d")"/{bind-password,session-key}
  port=$(free_port)
  echo "$port" > "$d/port"
  web_conf apache "$d" "$d" "$port" "$(apache_vhost "$port" localhost demo)"
  "$(site_prefix "$d")/opt/dxqor/bin/dxqor-authzd" --check-config "$(site_etc "$d")/dxqor-authzd.conf" >/dev/null
  authzd_start "$d"
  web_start apache "$d"
  wait_for curl -s -o /dev/null "http://127.0.0.1:$port/public/"
done
URL_A=http://127.0.0.1:$(cat "$A/port")
URL_B=http://127.0.0.1:$(cat "$B/port")

failed=0
# check WHAT WANT GOT: one line, and FAILED when GOT is not WANT.
check() {
  printf '%-52s -> %s\n' "$1" "$3"
  if [ "$3" != "$2" ]; then
    echo "   FAILED: expected $2"
    failed=1
  fi
}
status() { curl -s --max-time 20 -o /dev/null -w '%{http_code}' "$@" || true; }

echo
echo "== the walk (site A $URL_A, site B $URL_B)"
check "Basic as bob on A, checked against LDAP" 200 "$(status -u bob:builder "$URL_A/private/whoami.cgi")"
check "Basic as bob on B" 200 "$(status -u bob:builder "$URL_B/private/whoami.cgi")"
check "wrong password on B" 401 "$(status -u bob:wrong "$URL_B/private/whoami.cgi")"
token=$(curl -s --max-time 20 "$URL_A/dxqor/login" | sed -n 's/.*name="token" value="\([0-9a-f]*\)".*/\1/p')
# The form served by A, posted to B.
cookie=$(curl -s --max-time 20 -D - -o /dev/null \
           --data "username=alice&password=wonderland&target=%2Fprivate%2Fform%2Fwhoami.cgi&token=$token" \
           "$URL_B/dxqor/login" | sed -n 's/^Set-Cookie: \(DXQORSESSION=[0-9a-f]*\).*/\1/p')
check "form of A posted to B sets a session cookie" yes "$([ -n "$cookie" ] && echo yes || echo no)"
body=$(curl -s --max-time 20 -H "Cookie: $cookie" "$URL_A/private/form/whoami.cgi" || true)
check "the cookie on A" "signed in as: alice on $(cat "$A/port")" "$body"
check "the cookie on B" 200 "$(status -H "Cookie: $cookie" "$URL_B/private/form/whoami.cgi")"
check "log out on B" 200 "$(status -H "Cookie: $cookie" "$URL_B/dxqor/logout")"
check "the cookie on A after the logout on B" 303 "$(status -H "Cookie: $cookie" "$URL_A/private/form/whoami.cgi")"
echo
[ $failed -eq 0 ] || exit 1
if [ -z "${CI:-}" ]; then
  echo "site A: $URL_A/  site B: $URL_B/  (users in LDAP: alice:wonderland, bob:builder)"
  echo "stop everything with: make demo-stop SCALE=2"
fi
echo "demo finished"
