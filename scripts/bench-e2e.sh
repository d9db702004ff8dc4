#!/usr/bin/env bash
# make bench-e2e: what authorization costs a real web server, measured with
# wrk on 127.0.0.1, every configuration in the same run:
#
#   Apache alone                      a virtual host without dxqor
#   Apache + dxqor, cache hit         an open page decided by the cache
#   Apache + dxqor, protected         a page the authorization server
#                                     decides, with a cached credential
#   nginx alone                       the same file from nginx
#   nginx + dxqor, cache hit          the open page, decided on the event
#                                     loop by the cache
#   nginx + dxqor, protected          the protected page, asked from
#                                     nginx's thread pool, with a cached
#                                     credential
#   nginx + auth_request              each request first asks a local auth
#                                     service (a second nginx server that
#                                     answers 204 or 401 from the
#                                     Authorization header)
#   ..., protected, decision cache    the protected rows again, through a
#                                     second Apache and nginx in front of
#                                     a second authorization server whose
#                                     policy lets plug-ins keep decisions
#                                     for 5 s
#   ..., form session (in Redis),     see scripts/bench-e2e-backends.sh
#   ..., Basic against LDAP
#
# Each row is run BENCH_ROUNDS times (default 5, the rows taking turns) for
# BENCH_SECONDS (default 3) with BENCH_CONNECTIONS (default 8) connections
# on 2 wrk threads, after a 1-second warm-up; the figures are medians, the
# ratio is requests/s against the same server without authorization. The
# table goes to standard output and into docs/performance.md between its
# markers. Another configuration is one more `measure` line below.
# BENCH_KEEP=1 leaves the servers running afterwards (for a profiler), and
# BENCH_KEEP=stop stops them. The authorization server's audit trail is off
# (the shipped policy has it on); BENCH_AUDIT=1 writes it to a file, to
# see what it costs the protected rows (docs/performance.md).
# BENCH_ROWS, an extended regular expression, measures only the rows it
# matches (and the rows they are compared with), for a quick look: the
# table is then not written to docs/performance.md.
set -euo pipefail
trap 'echo "bench-e2e: failed at line $LINENO" >&2' ERR
cd "$(dirname "$0")/.."
TAG=bench-e2e
. scripts/site-common.sh
. scripts/bench-e2e-backends.sh
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
SECONDS_EACH=${BENCH_SECONDS:-3}
CONNECTIONS=${BENCH_CONNECTIONS:-8}
OUT=$PWD/$BUILD/release
DIR=$OUT/bench-e2e
if [ "$(id -u)" -eq 0 ] && ! reachable "$OUT/bench-e2e"; then
  DIR=/tmp/dxqor-bench-e2e
fi
DOC=docs/performance.md
# The site's installation and pages in DIR; each web server runs in a
# directory of its own below it.
APACHE_DIR=$DIR/apache
NGINX_DIR=$DIR/nginx
# The second site, whose server lets plug-ins keep decisions.
DC=$DIR/dc

cleanup() {
  site_stop "$DIR" "$APACHE_DIR" "$NGINX_DIR" "$DC" "$DC/apache" "$DC/nginx" || true
  bench_backends_stop
}
# BENCH_KEEP=1 leaves the servers running afterwards (for a profiler);
# `BENCH_KEEP=stop` only stops what an earlier run left.
[ "${BENCH_KEEP:-}" = 1 ] || trap cleanup EXIT
if [ "${BENCH_KEEP:-}" = stop ]; then
  cleanup
  exit 0
fi

site_build "$OUT" "$JOBS" apache nginx
cleanup
site_install "$OUT" "$DIR" apache nginx
mkdir -p "$DIR/site/public" "$DIR/site/private" "$APACHE_DIR" "$NGINX_DIR"
# One page of a typical size, the same bytes in each area.
page=$(head -c 2048 /dev/zero | tr '\0' 'x')
for area in public private; do
  printf '<html><body><p>%s</p></body></html>\n' "$page" > "$DIR/site/$area/index.html"
done
# The audit trail is off unless BENCH_AUDIT=1.
site_policy "$DIR" bench \
  "audit = $([ "${BENCH_AUDIT:-}" = 1 ] && echo "file:$DIR/audit.log" || echo off)"
site_plugin_conf "$DIR" bench
site_install "$OUT" "$DC" apache nginx
mkdir -p "$DC/apache" "$DC/nginx"
mkdir -p "$DC/site"
cp -r "$DIR/site/." "$DC/site/"
site_policy "$DC" bench "audit = off" "decision-cache-lifetime = 5"
site_plugin_conf "$DC" bench
chmod -R a+rX "$DIR"

APACHE_PORT=$(free_port)
NGINX_PORT=$(free_port)
AUTH_PORT=$(free_port)
web_conf apache "$APACHE_DIR" "$DIR" "$APACHE_PORT" \
  "$(apache_vhost "$APACHE_PORT" plain.test -; apache_vhost "$APACHE_PORT" bench.test bench)" \
  SERVERS="$CONNECTIONS"

AUTH_HEADER="Authorization: Basic $(printf 'alice:wonderland' | base64)"
# The default server: the plain site, its private area behind auth_request
# to the third server.
web_conf nginx "$NGINX_DIR" "$DIR" "$NGINX_PORT" "$(cat <<EOF
  upstream auth { server 127.0.0.1:$AUTH_PORT; keepalive 16; }
  map \$http_authorization \$auth_ok {
    "Basic $(printf 'alice:wonderland' | base64)" 1;
    default 0;
  }
  server {
    listen 127.0.0.1:$NGINX_PORT default_server;
    location /public/ { }
    location /private/ { auth_request /auth; }
    location = /auth {
      internal;
      proxy_pass http://auth/;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_pass_request_body off;
      proxy_set_header Content-Length "";
    }
  }
$(nginx_server "$NGINX_PORT" bench.test bench)
  server {
    listen 127.0.0.1:$AUTH_PORT;
    location / {
      if (\$auth_ok = 0) { return 401; }
      return 204;
    }
  }
EOF
)" WORKERS=2

APACHE_DC_PORT=$(free_port)
NGINX_DC_PORT=$(free_port)
web_conf apache "$DC/apache" "$DC" "$APACHE_DC_PORT" \
  "$(apache_vhost "$APACHE_DC_PORT" bench.test bench)" SERVERS="$CONNECTIONS"
web_conf nginx "$DC/nginx" "$DC" "$NGINX_DC_PORT" \
  "$(nginx_server "$NGINX_DC_PORT" bench.test bench)" WORKERS=2

authzd_start "$DIR"
web_start apache "$APACHE_DIR"
web_start nginx "$NGINX_DIR"
authzd_start "$DC"
web_start apache "$DC/apache"
web_start nginx "$DC/nginx"

# Every row must answer 200 before it is measured.
check() {
  local status
  status=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "$@")
  if [ "$status" != 200 ]; then
    echo "bench-e2e: $* answered $status" >&2
    exit 1
  fi
}

# The rows: name, the row it is compared with ("-" for none), URL, then the
# request headers. Every round measures every row once, in this order; a
# row's figures are the medians over the rounds, so that a burst of other
# work on the machine moves one round, not the result.
NAMES=()
declare -A BASE URL HEADERS RPS P50 P99
row() {
  local name=$1 h
  NAMES+=("$name")
  BASE[$name]=$2
  URL[$name]=$3
  HEADERS[$name]=""
  shift 3
  for h in "$@"; do HEADERS[$name]+="$h"$'\n'; done
}

A=http://127.0.0.1:$APACHE_PORT
N=http://127.0.0.1:$NGINX_PORT
row "Apache alone" - "$A/public/index.html" "Host: plain.test"
row "Apache + dxqor, cache hit" "Apache alone" "$A/public/index.html" "Host: bench.test"
row "Apache + dxqor, protected" "Apache alone" "$A/private/index.html" "Host: bench.test" \
  "$AUTH_HEADER"
row "nginx alone" - "$N/public/index.html"
row "nginx + dxqor, cache hit" "nginx alone" "$N/public/index.html" "Host: bench.test"
row "nginx + dxqor, protected" "nginx alone" "$N/private/index.html" "Host: bench.test" \
  "$AUTH_HEADER"
row "nginx + auth_request" "nginx alone" "$N/private/index.html" "$AUTH_HEADER"
row "Apache + dxqor, protected, decision cache" "Apache alone" \
  "http://127.0.0.1:$APACHE_DC_PORT/private/index.html" "Host: bench.test" "$AUTH_HEADER"
row "nginx + dxqor, protected, decision cache" "nginx alone" \
  "http://127.0.0.1:$NGINX_DC_PORT/private/index.html" "Host: bench.test" "$AUTH_HEADER"
bench_backends_rows
if [ -n "${BENCH_ROWS:-}" ]; then
  declare -A KEEP
  for name in "${NAMES[@]}"; do
    if grep -Eq -- "$BENCH_ROWS" <<<"$name"; then
      KEEP[$name]=1
      [ "${BASE[$name]}" = - ] || KEEP[${BASE[$name]}]=1
    fi
  done
  SELECTED=()
  for name in "${NAMES[@]}"; do [ -z "${KEEP[$name]:-}" ] || SELECTED+=("$name"); done
  NAMES=("${SELECTED[@]}")
fi

# One wrk run of a row: appends its requests/s and percentiles.
measure() {
  local name=$1 hdr=() h
  while IFS= read -r h; do [ -z "$h" ] || hdr+=(-H "$h"); done <<<"${HEADERS[$name]}"
  local out
  out=$(wrk -t2 -c"$CONNECTIONS" -d"${SECONDS_EACH}s" --latency "${hdr[@]}" "${URL[$name]}")
  if grep -q 'Non-2xx' <<<"$out"; then
    echo "bench-e2e: $name: not every response was 2xx" >&2
    exit 1
  fi
  RPS[$name]+=" $(awk '/^Requests\/sec:/ {print $2}' <<<"$out")"
  P50[$name]+=" $(awk '$1 == "50%" {print $2}' <<<"$out")"
  P99[$name]+=" $(awk '$1 == "99%" {print $2}' <<<"$out")"
  printf '  %-32s %s\n' "$name" "$(awk '/^Requests\/sec:/ {print $2}' <<<"$out") req/s"
}

# The median of a list of wrk figures ("412.00us", "1.25ms", "6563.46").
median() {
  tr ' ' '\n' <<<"$1" | awk 'NF {
      v = $1; u = 1
      if (v ~ /us$/) { u = 0.001 } else if (v ~ /ms$/) { u = 1 } else if (v ~ /s$/) { u = 1000 }
      sub(/[a-z]+$/, "", v); print v * u, $1 }' | sort -n | awk '{ a[NR] = $2 } END { print a[int((NR + 1) / 2)] }'
}
ms() {
  awk -v v="$1" 'BEGIN { u = 1; if (v ~ /us$/) u = 0.001; else if (v ~ /ms$/) u = 1;
                         else if (v ~ /s$/) u = 1000; sub(/[a-z]+$/, "", v); printf "%.2f ms", v * u }'
}

for name in "${NAMES[@]}"; do
  hdr=()
  while IFS= read -r h; do [ -z "$h" ] || hdr+=(-H "$h"); done <<<"${HEADERS[$name]}"
  check "${hdr[@]}" "${URL[$name]}"
  wrk -t2 -c"$CONNECTIONS" -d1s "${hdr[@]}" "${URL[$name]}" >/dev/null
done
ROUNDS=${BENCH_ROUNDS:-5}
echo "== measuring: $ROUNDS rounds of ${SECONDS_EACH}s per row, $CONNECTIONS connections, 2 wrk threads"
for round in $(seq "$ROUNDS"); do
  echo "round $round"
  for name in "${NAMES[@]}"; do measure "$name"; done
done

ROWS=()
declare -A MEDIAN
for name in "${NAMES[@]}"; do
  MEDIAN[$name]=$(median "${RPS[$name]}")
  ratio="1.00x"
  if [ "${BASE[$name]}" != - ]; then
    ratio=$(awk -v a="${MEDIAN[$name]}" -v b="${MEDIAN[${BASE[$name]}]}" 'BEGIN {printf "%.2fx", a / b}')
    # A row compared with another than the server alone names it.
    [[ ${BASE[$name]} = *alone ]] || ratio+=" of ${BASE[$name]#* + dxqor, }"
  fi
  ROWS+=("| $name | ${MEDIAN[$name]} | $(ms "$(median "${P50[$name]}")") | $(ms "$(median "${P99[$name]}")") | $ratio |")
done

APACHE_VERSION=$("$(apache_httpd)" -v | sed -n 's/^Server version: Apache\/\([^ ]*\).*/\1/p')
NGINX_VERSION=$("$(site_program nginx)" -v 2>&1 | sed 's/.*nginx\///')
TABLE=$(
  echo "| Configuration | Requests/s | p50 | p99 | Ratio to the same server alone |"
  echo "|---|---:|---:|---:|---:|"
  printf '%s\n' "${ROWS[@]}"
  echo
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores: wrk -t2 -c$CONNECTIONS" \
       "-d${SECONDS_EACH}s on 127.0.0.1, a 2 KiB page; Apache $APACHE_VERSION prefork with" \
       "$CONNECTIONS processes, nginx $NGINX_VERSION with 2 workers; medians of $ROUNDS" \
       "rounds of ${SECONDS_EACH}s per row."
)
echo
echo "$TABLE"

if [ -z "${BENCH_ROWS:-}" ] && [ -f "$DOC" ] && grep -q '<!-- bench-e2e begin -->' "$DOC"; then
  TABLE="$TABLE" awk '
    /<!-- bench-e2e begin -->/ {print; print ENVIRON["TABLE"]; skip = 1; next}
    /<!-- bench-e2e end -->/ {skip = 0}
    !skip {print}' "$DOC" > "$DOC.new"
  mv "$DOC.new" "$DOC"
  echo "written to $DOC"
fi
