#!/usr/bin/env bash
# Builds and tests each configuration; exits non-zero when any fails.
# check only compiles (library, tests, adapters, fuzz replays, demo) with
# QORStatus made a type whose value may not be dropped; release, asan and
# m32 build and run everything; tsan (ThreadSanitizer) builds everything and
# runs every test but the answer-mutation replay, whose second thread
# rewrites the answer while it is read on purpose (it stands for another
# process writing shared memory, which no sanitizer can order).
set -u
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
# Paths relative to the tree and the working directory left out of the
# hash: a clone in another folder reuses what an earlier one compiled.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
JOBS=${JOBS:-$(nproc)}
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(check release asan m32 tsan)

configure() {
  local cfg=$1 dir=$BUILD/$1
  case $cfg in
    # Unoptimized: it is only compiled, never run.
    check)   cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
               -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DDXQOR_CHECK_STATUS=ON -DDXQOR_ADAPTERS=ON ;;
    release) cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DDXQOR_ADAPTERS=ON ;;
    # The sanitizer builds keep line tables only (-g1): reports still name
    # file and line, and the builds take a quarter less time.
    asan)    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
               -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DDXQOR_SANITIZE=ON ;;
    m32)     cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
               -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux.cmake ;;
    tsan)    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
               -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_CXX_FLAGS=-fsanitize=thread \
               -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
               -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread ;;
    *) echo "unknown configuration $cfg"; return 1 ;;
  esac
}

# What each configuration builds and runs (empty: everything).
targets() {
  case $1 in
    check) echo "all dxqor_demo" ;;
  esac
}
# What each configuration's tests run under (empty: nothing). The 32-bit
# tests run where no 32-bit system call is allowed, so that every binary
# they start goes through qemu-i386, whether or not this kernel or its
# binfmt_misc registrations would execute it.
wrapper() {
  [ "$1" = m32 ] || return 0
  cc -O2 -Wall -Werror -o "$BUILD/no-ia32" scripts/no-ia32.c && echo "$(cd "$BUILD" && pwd)/no-ia32"
}
# The tests each configuration leaves out (empty: none).
skipped() { [ "$1" != tsan ] || echo "^fuzz_answer_mutation$"; }

declare -A result
status=0
for cfg in "${configs[@]}"; do
  echo "=== configuration: $cfg"
  log=$BUILD/$cfg-ctest.log
  mkdir -p "$BUILD"
  t=$(targets "$cfg")
  if configure "$cfg" >/dev/null && cmake --build "$BUILD/$cfg" -j "$JOBS" ${t:+--target $t}; then
    if [ "$cfg" = check ]; then
      result[$cfg]="built (no status dropped)"
      continue
    fi
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # The test authorization server is a forked child that runs threads. A
    # race fails the test program at exit, after its clean-up has run.
    export TSAN_OPTIONS=die_after_fork=0:second_deadlock_stack=1
    r=$(skipped "$cfg")
    w=$(wrapper "$cfg") || { result[$cfg]="no test wrapper"; status=1; continue; }
    ( cd "$BUILD/$cfg" && $w ctest --output-on-failure -j "$JOBS" ${r:+-E "$r"} ) 2>&1 | tee "$log"
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
