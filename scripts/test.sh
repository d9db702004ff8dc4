#!/usr/bin/env bash
# Builds and tests each configuration; exits non-zero when any fails.
set -u
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(release asan m32)

configure() {
  local cfg=$1 dir=$BUILD/$1
  case $cfg in
    release) cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" ;;
    asan)    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
               -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DDXQOR_SANITIZE=ON ;;
    m32)     cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
               -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux.cmake ;;
    *) echo "unknown configuration $cfg"; return 1 ;;
  esac
}

declare -A result
status=0
for cfg in "${configs[@]}"; do
  echo "=== configuration: $cfg"
  log=$BUILD/$cfg-ctest.log
  mkdir -p "$BUILD"
  if configure "$cfg" >/dev/null && cmake --build "$BUILD/$cfg" -j "$JOBS"; then
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ( cd "$BUILD/$cfg" && ctest --output-on-failure -j "$JOBS" ) 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    result[$cfg]=$(grep -E 'tests passed|tests failed' "$log" | tail -1)
    [ "$rc" -eq 0 ] || status=1
  else
    result[$cfg]="build failed"
    status=1
  fi
done

echo
echo "=== summary"
for cfg in "${configs[@]}"; do echo "$cfg: ${result[$cfg]}"; done
exit $status
