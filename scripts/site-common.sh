# site-common.sh: what the scripts that run dxqor in front of a real web
# server on this machine (demo.sh, bench-e2e.sh, reliability.sh) share:
# the build, the layout of an installation, the policy, the web servers'
# configuration (from the templates the end-to-end tests fill too) and
# starting and stopping by pid file. Sourced from the top of the source
# tree, not run; TAG names the script in messages.
#
# A site is a directory D holding a relocated installation (D/install: the
# server, the library, the modules, the policy under opt/dxqor/etc), its
# pages (D/site) and the server's pid file (D/authzd.pid). A web server in
# front of it runs in a directory W of its own (W may be D): its
# configuration, pid file, logs and temporary files. A second site is a
# second directory and port.

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

# Waits (WAIT_SECONDS, 30 s unless set, at most) until the command succeeds.
wait_for() {
  for _ in $(seq $(( ${WAIT_SECONDS:-30} * 10 ))); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  echo "${TAG:-site}: gave up waiting for: $*" >&2
  return 1
}

# A program by its names, on PATH or in /usr/sbin (not on a user's PATH on
# Debian); fails with a message when there is none.
site_program() {
  local name
  for name; do
    PATH=$PATH:/usr/sbin command -v "$name" && return 0
  done
  echo "${TAG:-site}: none of $* is installed (make deps)" >&2
  return 1
}

# The Apache binary: apache2 on Debian, httpd elsewhere.
apache_httpd() { site_program apache2 httpd; }

# Running, and not a zombie left for a parent that does not reap.
running() {
  [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null &&
    [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

site_prefix() { echo "$1/install"; }
site_etc() { echo "$1/install/opt/dxqor/etc"; }
site_server_id() { echo "$1/install/var/dxqor/sm/dxqor-authzd"; }
site_log() { echo "$1/install/var/dxqor/log/authzd.log"; }

# site_build OUT JOBS WEB...: the release build in OUT, configured as
# scripts/test.sh configures it (so that ccache hits), of the server and
# the modules of the web servers named (apache, nginx).
site_build() {
  local out=$1 jobs=$2 web targets=(dxqor-authzd)
  shift 2
  for web; do
    case $web in
      apache) targets+=(mod_dxqor) ;;
      nginx) targets+=(ngx_http_dxqor_module) ;;
    esac
  done
  echo "== building"
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DDXQOR_ADAPTERS=ON >/dev/null &&
    cmake --build "$out" -j "$jobs" --target "${targets[@]}"
}

# site_install OUT D WEB...: a fresh site D (anything there before is
# removed) with the installation of the build in OUT: the server, the
# library, the message catalogues and the modules of the web servers named.
site_install() {
  local out=$1 d=$2 web f files
  shift 2
  files=("$out/dxqor-authzd" "$out/libdxqor.so")
  for web; do
    case $web in
      apache) files+=("$out/mod_dxqor.so") ;;
      nginx) files+=("$out/adapters/nginx/ngx_http_dxqor_module.so") ;;
    esac
  done
  for f in "${files[@]}"; do
    [ -e "$f" ] || { echo "${TAG:-site}: $f is missing" >&2; return 1; }
  done
  local prefix
  prefix=$(site_prefix "$d")
  echo "== installing under $prefix"
  case $d in /|"") return 1 ;; esac
  rm -rf "$d"
  mkdir -p "$prefix/opt/dxqor/bin" "$prefix/opt/dxqor/lib" "$prefix/opt/dxqor/etc" \
           "$prefix/var/dxqor/sm" "$prefix/var/dxqor/log" "$d/site" || return 1
  cp "${files[0]}" "$prefix/opt/dxqor/bin/" && cp "${files[@]:1}" "$prefix/opt/dxqor/lib/" ||
    return 1
  if [ -d "$out/root/opt/dxqor/nls" ]; then
    cp -r "$out/root/opt/dxqor/nls" "$prefix/opt/dxqor/" || return 1
  fi
}

# site_policy D VHOST [ENTRY...]: the server's policy for the virtual host
# VHOST (its branch /VHOST): users alice (password "wonderland") and bob
# ("builder"), both in group users, alice alone in admins; /VHOST open to
# everyone, /VHOST/private to users, /VHOST/admin to admins. ENTRYs
# ("name = value") go into the [server] stanza.
site_policy() {
  local d=$1 vhost=$2 etc entry
  shift 2
  etc=$(site_etc "$d")
  grep -E '^(alice|bob):' packaging/htpasswd > "$etc/htpasswd" || return 1
  printf 'users: alice bob\nadmins: alice\n' > "$etc/groups"
  {
    echo "[server]"
    echo "server-id = $(site_server_id "$d")"
    for entry; do echo "$entry"; done
    cat <<EOF
users-file = htpasswd
groups-file = groups
identity-header = X-Dxqor-User
realm = dxqor $vhost
route = ERROR:TEXTFILE:$(site_log "$d")
route = WARNING:TEXTFILE:$(site_log "$d")

[virtual-host $vhost]
branch = /$vhost

[object /$vhost]
unauthenticated = *

[object /$vhost/private]
group = users r

[object /$vhost/admin]
group = admins r
EOF
  } > "$etc/dxqor-authzd.conf"
}

# site_plugin_conf D VHOST [NAME=VALUE...]: the plug-in's dxqor.conf: the
# shipped one (with its bounds on waiting for the server), each NAME given
# set to VALUE, knowing VHOST.
site_plugin_conf() {
  local d=$1 vhost=$2 conf kv
  shift 2
  conf=$(site_etc "$d")/dxqor.conf
  cp packaging/dxqor.conf "$conf" || return 1
  for kv; do
    sed -i -e "s/^${kv%%=*} = .*/${kv%%=*} = ${kv#*=}/" "$conf"
    grep -qx "${kv%%=*} = ${kv#*=}" "$conf" ||
      { echo "${TAG:-site}: packaging/dxqor.conf has no ${kv%%=*} entry" >&2; return 1; }
  done
  echo "virtual-host = $vhost" >> "$conf"
}

# authzd_start D: starts the site's authorization server and waits for its
# pid file D/authzd.pid.
authzd_start() {
  local d=$1 prefix
  prefix=$(site_prefix "$d")
  rm -f "$d/authzd.pid"
  DXQOR_ROOT=$prefix LD_LIBRARY_PATH=$prefix/opt/dxqor/lib \
    "$prefix/opt/dxqor/bin/dxqor-authzd" --config "$(site_etc "$d")/dxqor-authzd.conf" \
    --pid-file "$d/authzd.pid" || return 1
  wait_for test -s "$d/authzd.pid"
}

# The text of template with each @NAME@ of the NAME=VALUE arguments
# replaced (as the tests' qor_fill_template does); fails when a field is
# left without a value.
fill_template() {
  local text kv left i
  text=$(<"$1") || return 1
  shift
  # From the last: a field given twice takes the later value.
  for ((i = $#; i >= 1; i--)); do
    kv=${!i}
    text=${text//"@${kv%%=*}@"/"${kv#*=}"}
  done
  left=$(grep -oE '@[A-Z_]+@' <<<"$text" | sort -u | tr '\n' ' ') || true
  if [ -n "$left" ]; then
    echo "${TAG:-site}: no value for $left" >&2
    return 1
  fi
  printf '%s\n' "$text"
}

# web_conf WEB W D PORT SITES [NAME=VALUE...]: W/httpd.conf (apache) or
# W/nginx.conf (nginx) from adapters/WEB's template, for the site D on
# 127.0.0.1:PORT, with the virtual hosts (apache) or servers (nginx) SITES;
# NAME=VALUE set the template's other fields (SERVERS for Apache's
# processes and MPM for their kind, prefork unless given; WORKERS for
# nginx's).
web_conf() {
  local web=$1 w=$2 d=$3 port=$4 sites=$5 user="" modules
  shift 5
  local common=(DIR="$w" PORT="$port" SITE="$d/site" ROOT="$(site_prefix "$d")"
                SERVER_ID="$(site_server_id "$d")" LOGLEVEL=warn)
  case $web in
    apache)
      # As root, the children run as www-data in group root, so that they
      # may use the server's channel.
      [ "$(id -u)" -ne 0 ] || user=$'User www-data\nGroup root'
      modules=$(apxs -q LIBEXECDIR) || return 1
      fill_template adapters/apache/httpd.conf.in "${common[@]}" USER="$user" \
        MODULES="$modules" MOD_DXQOR="$(site_prefix "$d")/opt/dxqor/lib/mod_dxqor.so" \
        MPM=prefork SERVERS=2 "$@" SITES="$sites" > "$w/httpd.conf"
      ;;
    nginx)
      # As root, the workers run as nobody in group root, as Apache's do.
      [ "$(id -u)" -ne 0 ] || user="user nobody root;"
      mkdir -p "$w/tmp" || return 1
      fill_template adapters/nginx/nginx.conf.in "${common[@]}" USER="$user" \
        MODULE="$(site_prefix "$d")/opt/dxqor/lib/ngx_http_dxqor_module.so" \
        WORKERS=1 ACCESS_LOG=off "$@" SITES="$sites" > "$w/nginx.conf"
      ;;
    *) echo "${TAG:-site}: no web server $web" >&2; return 1 ;;
  esac
}

# apache_vhost PORT HOST VHOST: a virtual host HOST on PORT that dxqor
# protects as VHOST ("-": one it leaves alone).
apache_vhost() {
  printf '<VirtualHost 127.0.0.1:%s>\n  ServerName %s\n' "$1" "$2"
  if [ "$3" = - ]; then
    printf '  Dxqor Off\n'
  else
    printf '  Dxqor On\n  DxqorVirtualHostID %s\n' "$3"
  fi
  printf '</VirtualHost>\n'
}

# nginx_server PORT HOST VHOST [LINE...]: a server HOST on PORT that dxqor
# protects as VHOST, with LINEs (locations) inside.
nginx_server() {
  local line
  printf '  server {\n    listen 127.0.0.1:%s;\n    server_name %s;\n' "$1" "$2"
  printf '    dxqor on;\n    dxqor_vhost_id %s;\n' "$3"
  shift 3
  for line; do printf '    %s\n' "$line"; done
  printf '  }\n'
}

# web_start WEB W: starts the web server configured in W and waits for its
# pid file.
web_start() {
  local web=$1 w=$2 started
  case $web in
    apache) started=$(apache_httpd) && "$started" -f "$w/httpd.conf" ;;
    nginx) started=$(site_program nginx) && "$started" -p "$w" -c "$w/nginx.conf" 2>>"$w/error.log" ;;
  esac || {
    echo "${TAG:-site}: $web did not start; $w/error.log:" >&2
    tail -n 20 "$w/error.log" >&2 2>/dev/null
    return 1
  }
  wait_for test -s "$w/$(web_pid_name "$web")"
}
web_pid_name() { [ "$1" = nginx ] && echo nginx.pid || echo httpd.pid; }

# site_stop DIR...: ends what runs from each directory (a site's server, a
# web server) by its pid file: SIGCONT (a stopped process cannot act on
# SIGTERM) and SIGTERM, a wait of 30 s at most, then SIGKILL. Only a process
# whose command line names the directory is signalled, so that a stale pid
# file never hits another program. Fails when one had to be killed;
# STOPPED is how many were signalled.
site_stop() {
  local dir f pid pids=() rc=0
  for dir; do
    for f in "$dir/httpd.pid" "$dir/nginx.pid" "$dir/authzd.pid"; do
      [ -f "$f" ] || continue
      pid=$(cat "$f")
      rm -f "$f"
      if running "$pid" && tr '\0' ' ' < "/proc/$pid/cmdline" | grep -qF -- "$dir"; then
        kill -CONT "$pid" 2>/dev/null
        kill "$pid" 2>/dev/null && pids+=("$pid")
      fi
    done
  done
  for _ in $(seq 300); do
    local left=0
    for pid in "${pids[@]}"; do running "$pid" && left=1; done
    [ $left -eq 1 ] || break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do
    if running "$pid"; then
      echo "${TAG:-site}: process $pid did not stop; killing it" >&2
      kill -9 "$pid" 2>/dev/null
      rc=1
    fi
  done
  STOPPED=${#pids[@]}
  return $rc
}

# backends_start D: one redis-server (D/redis) and one slapd (D/ldap, a
# throwaway database under dc=demo) on free loopback ports, as the tests
# start them, with the users and groups of site_policy in the directory
# (alice and bob in cn=users, alice in cn=admins). Their ports go to
# D/redis/port and D/ldap/port; backends_stop D ends both.
backends_start() {
  local d=$1 redis=$1/redis ldap=$1/ldap port
  rm -rf "$redis" "$ldap"
  mkdir -p "$redis" "$ldap/db" || return 1
  port=$(free_port) || return 1
  redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no \
    --dir "$redis" --daemonize yes --pidfile "$redis/redis.pid" --logfile "$redis/redis.log" ||
    return 1
  echo "$port" > "$redis/port"
  wait_for redis-cli -p "$port" ping >/dev/null || return 1
  port=$(free_port) || return 1
  cat > "$ldap/slapd.conf" <<EOC
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
modulepath /usr/lib/ldap
moduleload back_mdb
pidfile $ldap/slapd.pid
database mdb
maxsize 16777216
suffix "dc=demo"
rootdn "cn=admin,dc=demo"
rootpw demo-admin
directory $ldap/db
EOC
  /usr/sbin/slapd -f "$ldap/slapd.conf" -h "ldap://127.0.0.1:$port/" || return 1
  wait_for test -s "$ldap/slapd.pid" || return 1
  # site_stop finds slapd by this name.
  cp "$ldap/slapd.pid" "$ldap/authzd.pid"
  echo "$port" > "$ldap/port"
  wait_for ldapsearch -x -H "ldap://127.0.0.1:$port" -b "" -s base >/dev/null || return 1
  local u
  {
    printf 'dn: dc=demo\nobjectClass: dcObject\nobjectClass: organization\no: demo\ndc: demo\n\n'
    printf 'dn: ou=people,dc=demo\nobjectClass: organizationalUnit\nou: people\n\n'
    for u in alice:wonderland bob:builder; do
      printf 'dn: uid=%s,ou=people,dc=demo\nobjectClass: inetOrgPerson\nuid: %s\ncn: %s\nsn: %s\nuserPassword: %s\n\n' \
        "${u%%:*}" "${u%%:*}" "${u%%:*}" "${u%%:*}" "${u#*:}"
    done
    printf 'dn: cn=users,dc=demo\nobjectClass: groupOfNames\ncn: users\n'
    printf 'member: uid=alice,ou=people,dc=demo\nmember: uid=bob,ou=people,dc=demo\n\n'
    printf 'dn: cn=admins,dc=demo\nobjectClass: groupOfNames\ncn: admins\n'
    printf 'member: uid=alice,ou=people,dc=demo\n'
  } | ldapadd -x -H "ldap://127.0.0.1:$port" -D cn=admin,dc=demo -w demo-admin >/dev/null
}

backends_stop() {
  local d=$1
  site_stop "$d/ldap" || true
  if [ -f "$d/redis/port" ]; then
    redis-cli -p "$(cat "$d/redis/port")" shutdown nosave >/dev/null 2>&1 || true
    rm -f "$d/redis/port"
  fi
}

# backends_policy D S: the site S's policy takes its users and groups from
# the slapd of backends_start D and keeps its sessions in its redis-server,
# with the bind password and session key files beside it.
backends_policy() {
  local d=$1 etc
  etc=$(site_etc "$2")
  printf 'demo-admin\n' > "$etc/bind-password"
  printf 'the secret the sites share\n' > "$etc/session-key"
  # The server refuses secrets anyone else may read.
  chmod 600 "$etc/bind-password" "$etc/session-key"
  cat >> "$etc/dxqor-authzd.conf" <<EOC

[backends]
users = ldap
groups = ldap
sessions = redis

[ldap]
uri = ldap://127.0.0.1:$(cat "$d/ldap/port")
bind-dn = cn=admin,dc=demo
bind-password-file = bind-password
base-dn = dc=demo
cache-lifetime = 5

[redis]
address = 127.0.0.1:$(cat "$d/redis/port")
key-file = session-key
EOC
}
