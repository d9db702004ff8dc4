# site-common.sh: the helpers shared by the scripts that run dxqor in front
# of a real web server on this machine (demo.sh, bench-e2e.sh,
# reliability.sh). Sourced, not run; TAG names the script in messages.

# Web-server children run as www-data when the script runs as root:
# everything they read must lie below directories everyone may search. A
# build tree in a private directory (/root) does not qualify; the callers
# then use /tmp instead.
reachable() {
  local d=$1
  while [ "$d" != / ] && [ -n "$d" ]; do
    d=$(dirname "$d")
    [ -e "$d" ] || continue
    [ "$(( 0$(stat -c %a "$d") & 1 ))" -ne 0 ] || return 1
  done
}

# A port on 127.0.0.1 that nothing listens on.
free_port() {
  local p
  for _ in $(seq 200); do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

# Waits (30 s at most) until the command succeeds.
wait_for() {
  for _ in $(seq 300); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  echo "${TAG:-site}: gave up waiting for: $*" >&2
  return 1
}
