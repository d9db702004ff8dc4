# bench-e2e-backends.sh: bench-e2e's rows for the shared backends, sourced
# by bench-e2e.sh (after its row function) and run from there.
#
#   ..., form session                 a page behind the login form, with the
#                                     session in the server's memory
#   ..., form session in Redis        the same with the session in a
#                                     redis-server (ratio to the row above)
#   ..., Basic against LDAP           the protected page, the users and
#                                     groups in a slapd, the credential
#                                     cache warm (ratio to the protected
#                                     row with the users file)
#
# Two more sites under DIR, each in front of Apache and nginx: BM (file
# backends) and BK (slapd and redis-server, started by backends_start).
BACKEND_ROWS="form session|Basic against LDAP"

bench_backends_stop() {
  local BM=$DIR/bm BK=$DIR/bk
  site_stop "$BM" "$BM/apache" "$BM/nginx" "$BK" "$BK/apache" "$BK/nginx" || true
  backends_stop "$BK"
}

# The session cookie of alice, signed in with the form at URL (Host: HOST).
bench_backends_sign_in() {
  local url=$1 host=$2 token
  token=$(curl -s --max-time 20 -H "Host: $host" "$url/dxqor/login" |
            sed -n 's/.*name="token" value="\([0-9a-f]*\)".*/\1/p')
  curl -s --max-time 20 -D - -o /dev/null -H "Host: $host" \
    --data "username=alice&password=wonderland&target=%2Fprivate%2Fform%2F&token=$token" \
    "$url/dxqor/login" | sed -n 's/^Set-Cookie: \(DXQORSESSION=[0-9a-f]*\).*/\1/p'
}

bench_backends_rows() {
  if [ -n "${BENCH_ROWS:-}" ] && ! grep -Eq -- "$BENCH_ROWS" <<<"$BACKEND_ROWS"; then
    return 0
  fi
  local s web port BM=$DIR/bm BK=$DIR/bk
  declare -A PORTS COOKIE
  mkdir -p "$BK"
  for s in "$BM" "$BK"; do
    site_install "$OUT" "$s" apache nginx
    mkdir -p "$s/apache" "$s/nginx"
    cp -r "$DIR/site/." "$s/site/"
    mkdir -p "$s/site/private/form"
    cp "$DIR/site/private/index.html" "$s/site/private/form/"
    site_policy "$s" bench "audit = off"
    printf '\n[object /bench/private/form]\nmethod = form\ngroup = users r\n' \
      >> "$(site_etc "$s")/dxqor-authzd.conf"
    site_plugin_conf "$s" bench
  done
  echo "== starting redis-server and slapd"
  backends_start "$BK"
  backends_policy "$BK" "$BK"
  chmod -R a+rX "$BM" "$BK"
  chmod 600 "$(site_etc "$BK")"/{bind-password,session-key}
  for s in "$BM" "$BK"; do
    PORTS[$s/apache]=$(free_port)
    web_conf apache "$s/apache" "$s" "${PORTS[$s/apache]}" \
      "$(apache_vhost "${PORTS[$s/apache]}" bench.test bench)" SERVERS="$CONNECTIONS"
    PORTS[$s/nginx]=$(free_port)
    web_conf nginx "$s/nginx" "$s" "${PORTS[$s/nginx]}" \
      "$(nginx_server "${PORTS[$s/nginx]}" bench.test bench)" WORKERS=2
    authzd_start "$s"
    for web in apache nginx; do
      web_start "$web" "$s/$web"
      COOKIE[$s/$web]=$(bench_backends_sign_in "http://127.0.0.1:${PORTS[$s/$web]}" bench.test)
      [ -n "${COOKIE[$s/$web]}" ] || { echo "bench-e2e: no session from $s/$web" >&2; return 1; }
    done
  done
  local name
  for web in apache nginx; do
    name=$([ $web = apache ] && echo Apache || echo nginx)
    row "$name + dxqor, form session" "$name alone" \
      "http://127.0.0.1:${PORTS[$BM/$web]}/private/form/index.html" "Host: bench.test" \
      "Cookie: ${COOKIE[$BM/$web]}"
    row "$name + dxqor, form session in Redis" "$name + dxqor, form session" \
      "http://127.0.0.1:${PORTS[$BK/$web]}/private/form/index.html" "Host: bench.test" \
      "Cookie: ${COOKIE[$BK/$web]}"
    row "$name + dxqor, Basic against LDAP" "$name + dxqor, protected" \
      "http://127.0.0.1:${PORTS[$BK/$web]}/private/index.html" "Host: bench.test" "$AUTH_HEADER"
  done
}
