#!/usr/bin/env bash
# Builds the Debian packages (debian/) into OUT (default build/deb):
#   packaging/build-deb.sh [OUT]
# dpkg-buildpackage writes its results beside the source tree, so the tree
# is copied to OUT/src/dxqor first and the .deb files land in OUT/src; they
# are then moved to OUT. Compiles go through ccache when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-build/deb}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
SRC=$OUT/src/dxqor

rm -rf "$OUT/src" "$OUT"/*.deb "$OUT"/*.ddeb "$OUT"/*.changes "$OUT"/*.buildinfo
mkdir -p "$SRC"
tar -C . --exclude=./build --exclude=./.git -cf - . | tar -C "$SRC" -xf -

if command -v ccache >/dev/null; then
  # debhelper points HOME elsewhere during the build; the cache stays the
  # user's. Paths under the copy are hashed relative to it and the build's
  # path is kept off the command line, so any checkout hits the same cache.
  export CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_BASEDIR=$SRC CCACHE_NOHASHDIR=1
  export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-fixfilepath"
fi
JOBS=${JOBS:-$(nproc)}
( cd "$SRC" && DEB_BUILD_OPTIONS="parallel=$JOBS ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -us -uc -b ) > "$OUT/build.log" 2>&1 || {
  tail -50 "$OUT/build.log" >&2
  echo "build-deb: dpkg-buildpackage failed; the whole log is $OUT/build.log" >&2
  exit 1
}
mv "$OUT"/src/*.deb "$OUT"/src/*.changes "$OUT"/src/*.buildinfo "$OUT"/
mv "$OUT"/src/*.ddeb "$OUT"/ 2>/dev/null || true
ls "$OUT"/*.deb
