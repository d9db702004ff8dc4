#!/usr/bin/env bash
# profile-protected.sh: where the time of a protected request goes, under
# bench-e2e's protected rows (no decision cache). Starts the bench-e2e
# servers (BENCH_KEEP=1), then for Apache and nginx in turn, each under the
# same short wrk load on 127.0.0.1:
#   1. context switches per request, voluntary and not, of the web
#      server's processes and of dxqor-authzd, from /proc/PID/task/*/status
#      before and after, and the CPU time each side spent (schedstat);
#   2. a whole-system profile, perf record -a -F 999 -e cpu-clock -g
#      (a software clock: the VM has no hardware counters), sorted into
#      the shares of a request by scripts/profile-shares.awk, and every
#      context switch (sched:sched_switch) by where it left from;
#   3. system calls per request on both sides, strace -c -f (slow: only
#      its counts are used).
# Every wrk run is bounded: PROFILE_SECONDS (default 3), PROFILE_CONNECTIONS
# (default 8), 2 threads. Output goes to OUT (default
# build/release/profile-protected); the servers are stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${PROFILE_SECONDS:-3}
CONNECTIONS=${PROFILE_CONNECTIONS:-8}
BUILD=${BUILD:-build}
OUT=${OUT:-$PWD/$BUILD/release/profile-protected}
TAG=profile-protected
. scripts/site-common.sh
# Where bench-e2e puts its servers.
DIR=$PWD/$BUILD/release/bench-e2e
if [ "$(id -u)" -eq 0 ] && ! reachable "$DIR"; then DIR=/tmp/dxqor-bench-e2e; fi
mkdir -p "$OUT"
trap 'BENCH_KEEP=stop scripts/bench-e2e.sh >/dev/null 2>&1 || true' EXIT

echo "== load before: $(uptime)"
BENCH_KEEP=1 BENCH_ROWS='^(Apache|nginx) \+ dxqor, protected$' BENCH_ROUNDS=1 \
  BENCH_SECONDS=1 BENCH_CONNECTIONS="$CONNECTIONS" scripts/bench-e2e.sh >"$OUT/bench.log"
AUTH="Authorization: Basic $(printf 'alice:wonderland' | base64)"
AUTHZD=$(cat "$DIR/authzd.pid")

# The web server's processes: the master's children (the workers).
children() { pgrep -P "$1" | tr '\n' ' '; }
# Sum of voluntary, nonvoluntary context switches and run time (ns) over
# every thread of the processes given.
counters() {
  local pid t v=0 n=0 run=0 a b
  for pid; do
    for t in /proc/"$pid"/task/*; do
      [ -r "$t/status" ] || continue
      a=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null || echo 0)
      b=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$t/status" 2>/dev/null || echo 0)
      v=$((v + ${a:-0})); n=$((n + ${b:-0}))
      run=$((run + $(awk '{print $1}' "$t/schedstat" 2>/dev/null || echo 0)))
    done
  done
  echo "$v $n $run"
}
requests() { awk '/requests in/ {print $1}' "$1"; }
load() {
  wrk -t2 -c"$CONNECTIONS" -d"${1}s" -H "Host: bench.test" -H "$AUTH" "$URL"
}

for web in nginx apache; do
  if [ "$web" = nginx ]; then
    PORT=$(awk '/listen 127.0.0.1:/ && ++n == 1 {sub(/.*:/, "", $2); sub(/;/, "", $2); print $2}' \
      "$DIR/nginx/nginx.conf")
    MASTER=$(cat "$DIR/nginx/nginx.pid")
  else
    PORT=$(awk '/^Listen/ {sub(/.*:/, "", $2); print $2; exit}' "$DIR/apache/httpd.conf")
    MASTER=$(cat "$DIR/apache/httpd.pid")
  fi
  URL=http://127.0.0.1:$PORT/private/index.html
  WORKERS=$(children "$MASTER")
  echo "== $web (workers $WORKERS; dxqor-authzd $AUTHZD): $(uptime)"

  read -r wv0 wn0 wr0 < <(counters $WORKERS)
  read -r sv0 sn0 sr0 < <(counters "$AUTHZD")
  load "$SECONDS_EACH" >"$OUT/$web-wrk.txt"
  read -r wv1 wn1 wr1 < <(counters $WORKERS)
  read -r sv1 sn1 sr1 < <(counters "$AUTHZD")
  r=$(requests "$OUT/$web-wrk.txt")
  awk -v r="$r" -v wv=$((wv1 - wv0)) -v wn=$((wn1 - wn0)) -v wr=$((wr1 - wr0)) \
      -v sv=$((sv1 - sv0)) -v sn=$((sn1 - sn0)) -v sr=$((sr1 - sr0)) -v s="$SECONDS_EACH" 'BEGIN {
    printf "requests %d (%.0f/s)\n", r, r / s
    printf "web server:   %.2f voluntary + %.2f involuntary switches, %.1f us CPU per request\n",
           wv / r, wn / r, wr / r / 1000
    printf "dxqor-authzd: %.2f voluntary + %.2f involuntary switches, %.1f us CPU per request\n",
           sv / r, sn / r, sr / r / 1000 }' | tee "$OUT/$web-switches.txt"

  perf record -q -a -F 999 -e cpu-clock -g -o "$OUT/$web-perf.data" -- \
    bash -c "$(declare -f load); URL=$URL AUTH='$AUTH' CONNECTIONS=$CONNECTIONS load $SECONDS_EACH" \
    >"$OUT/$web-perf-wrk.txt" 2>/dev/null
  perf report -i "$OUT/$web-perf.data" --no-children --sort comm,dso --stdio -g none 2>/dev/null |
    grep '%' | grep -v '^#' | head -20 >"$OUT/$web-by-dso.txt" || true
  perf report -i "$OUT/$web-perf.data" --no-children --sort comm,sym --stdio -g none 2>/dev/null |
    grep '%' | grep -v '^#' | head -60 >"$OUT/$web-by-sym.txt" || true
  r=$(requests "$OUT/$web-perf-wrk.txt")
  echo "perf: $r requests; CPU per request by share (both processes):"
  comm=$web; [ "$web" = nginx ] || comm=apache2
  perf script -i "$OUT/$web-perf.data" -F comm,ip,sym,dso 2>/dev/null |
    awk -v WEB="$comm" -v HZ=999 -v REQUESTS="$r" -f scripts/profile-shares.awk

  # Where the threads go to sleep (or are preempted), per request: every
  # context switch of the two sides, by the system call it left from.
  perf record -q -a -e sched:sched_switch -g -o "$OUT/$web-switch.data" -- \
    bash -c "$(declare -f load); URL=$URL AUTH='$AUTH' CONNECTIONS=$CONNECTIONS load $SECONDS_EACH" \
    >"$OUT/$web-switch-wrk.txt" 2>/dev/null
  r=$(requests "$OUT/$web-switch-wrk.txt")
  echo "context switches per request, by where they left from ($r requests):"
  perf script -i "$OUT/$web-switch.data" -F comm,trace,ip,sym,dso 2>/dev/null | awk -v r="$r" -v WEB="$comm" '
    function out(  w) {
      if (c != WEB && c != "dxqor-authzd") { c = ""; return }
      w = "other"
      if (fr ~ /semtimedop/) w = "semop"
      else if (fr ~ /lll_lock_wait/) w = "futex (mutex)"
      else if (fr ~ /futex/) w = "futex (condition)"
      else if (fr ~ /epoll_wait/) w = "epoll_wait"
      else if (fr ~ /poll/) w = "poll"
      else if (fr ~ /read|recv/) w = "read"
      k[c ", " st ", " w]++; c = "" }
    /^[^ \t]/ { if (c != "") out(); c = $1; st = $0 ~ /prev_state=R/ ? "preempted" : "asleep"; fr = ""; next }
    /^[ \t]/ { fr = fr $0 "\n"; next }
    END { out(); for (x in k) if (k[x] >= r / 50) printf "  %-40s %5.2f\n", x, k[x] / r }' | sort

  # strace -c on both sides during one more bounded run.
  pids=()
  for p in $WORKERS; do pids+=(-p "$p"); done
  strace -c -f -o "$OUT/$web-strace-web.txt" "${pids[@]}" 2>/dev/null & st1=$!
  strace -c -f -o "$OUT/$web-strace-authzd.txt" -p "$AUTHZD" 2>/dev/null & st2=$!
  sleep 1
  load "$SECONDS_EACH" >"$OUT/$web-strace-wrk.txt"
  kill -INT "$st1" "$st2"
  wait "$st1" "$st2" || true
  r=$(requests "$OUT/$web-strace-wrk.txt")
  for side in web authzd; do
    echo "system calls per request, $side side ($r requests under strace):"
    awk -v r="$r" '$1 ~ /^[0-9.]+$/ && NF >= 5 { name = $NF; calls = $4
                   if (calls + 0 >= r / 50) printf "  %-16s %6.2f\n", name, calls / r }' \
      "$OUT/$web-strace-$side.txt" | sort -k2 -nr | head -12 || true
  done
done
echo "== load after: $(uptime)"
