#!/usr/bin/env bash
# Fails when a source file includes a project header from a layer that is
# not below its own. Tests (*_test.cpp) sit above everything and are not
# checked; neither are testsupport/, bench/, fuzz/ and demo/.
#
# Usage: scripts/check-layers.sh [source-root]
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

# The layers, lowest first (README.md shows the same table). A file may
# include headers of its own unit and of units with a lower rank on its
# own side or the common side. A unit is a directory under src/, or "top",
# the part of plugin/core that is QORCore itself and the adapter header.
# Sides: c common, p plug-in, s server; a program may include any side.
layers='
1  c core/system
2  c core/platform
3  c core/threads
4  c core/queue
5  c core/sundry
6  c core/msg
7  c core/svc
8  c core/memory
9  c core/buffers
10 c core/list
11 c core/file
12 c core/html
13 c core/encoders/cert_decoder
14 c core/encoders
15 c core/trace
16 c core/http
17 c core/shutdown
18 c config_mgr
19 p plugin/core
20 c proxyif/ipc
21 c proxyif/framework
22 c msg/core
23 p msg/plugin
23 p urc/plugin
24 p top
23 s proxyif/server
24 s msg/server
30 a authz
31 a adapters
'

{
  echo "$layers" | awk 'NF == 3 { print "L", $1, $2, $3 }'
  find src adapters -type f \( -name '*.h' -o -name '*.cpp' \) \
       ! -name '*_test.cpp' 2>/dev/null | sort |
  while read -r f; do
    grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' "$f" |
    sed -E 's/^([0-9]+):.*"([^"]+)".*/\1 \2/' |
    while read -r line inc; do
      # Only the project's own headers, named from src/.
      [ -f "src/$inc" ] && echo "I $f $line src/$inc"
    done
  done
} | awk '
function unit(path,   d) {
  if (path ~ /^adapters\//) return "adapters"
  if (path ~ /^src\/plugin\/core\/((qorcore|qordecisioncache)\.(h|cpp)|qoradapter\.h)$/) return "top"
  d = path
  sub(/^src\//, "", d)
  sub(/\/[^\/]*$/, "", d)
  if (d ~ /^authz(\/|$)/) return "authz"
  return d
}
$1 == "L" { rank[$4] = $2; side[$4] = $3; next }
$1 == "I" {
  from = unit($2); to = unit($4)
  if (from == to) next
  if (!(from in rank)) { printf "%s: directory %s has no layer\n", $2, from; bad++; next }
  if (!(to in rank)) { printf "%s:%s: %s is in no layer\n", $2, $3, $4; bad++; next }
  ok = rank[to] < rank[from] &&
       (side[to] == "c" || side[to] == side[from] || side[from] == "a")
  if (!ok) {
    printf "%s:%s: includes %s: %s (rank %s, side %s) may not include %s (rank %s, side %s)\n",
           $2, $3, $4, from, rank[from], side[from], to, rank[to], side[to]
    bad++
  }
  n++
}
END {
  if (bad) { printf "layers: %d include(s) break the layer order\n", bad; exit 1 }
  printf "layers: %d cross-directory includes, all downward\n", n
}'
