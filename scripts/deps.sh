#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when some are missing.
set -eu
need=(g++ cmake ninja-build ccache googletest libgtest-dev libbenchmark-dev
      g++-multilib qemu-user libc-bin libhttp-parser-dev
      libcrypt-dev libssl-dev openssl apache2 apache2-dev nginx nginx-dev
      curl wrk libmicrohttpd-dev debhelper lintian slapd ldap-utils redis-server
      libldap-dev libhiredis-dev)
# `deps.sh bench`: also the allocators the benchmarks compare against.
[ "${1:-}" != bench ] || need+=(libjemalloc-dev libmimalloc-dev)
# `deps.sh fuzz`: also what `make fuzz` needs.
[ "${1:-}" != fuzz ] || need+=(clang libclang-rt-14-dev)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  # Another apt may hold the dpkg lock (an unattended upgrade): wait for it.
  lock=(-o DPkg::Lock::Timeout=900)
  $SUDO apt-get "${lock[@]}" update -qq
  # slapd would ask for a domain and an administrator password and make a
  # database of its own: the tests make theirs.
  echo "slapd slapd/no_configuration boolean true" | $SUDO debconf-set-selections
  # The tests start their own slapd and redis-server: none may be started
  # (or left running) by the installation. policy-rc.d forbids it while
  # apt runs, and goes afterwards, also when apt fails.
  policy=/usr/sbin/policy-rc.d
  made_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=1
    trap '[ -z "$made_policy" ] || $SUDO rm -f "$policy"' EXIT
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y -qq "${missing[@]}"
  if [ -n "$made_policy" ]; then
    $SUDO rm -f "$policy"
    made_policy=""
  fi
fi
