# profile-shares.awk: sorts the samples of `perf script -F comm,ip,sym,dso`
# (with call chains) of a web server (comm WEB) and dxqor-authzd into the
# shares of a protected request, by the first frame from the leaf that
# names one. Prints microseconds of CPU per request: a sample at F Hz is
# 1/F s of one CPU; REQUESTS is wrk's count during the recording.
function share(comm, frames,   f, n, i) {
  n = split(frames, f, "\n")
  for (i = 1; i <= n; i++) {
    if (f[i] ~ /QORAnswerWait::watch/) return "watching the answer fields (spin)"
    if (f[i] ~ /semtimedop|semop/) return "kernel: semaphores, sleeps and wake-ups"
    if (f[i] ~ /futex|pthread_cond|pthread_mutex|lll_lock/) return "thread pool hand-off (futex)"
    if (f[i] ~ /ngx_notify|eventfd|ngx_epoll_notify|ngx_thread_pool_handler/) return "thread pool hand-off (eventfd)"
  }
  for (i = 1; i <= n; i++) {
    if (comm == "dxqor-authzd" && f[i] ~ /\(.*dxqor-authzd\)|libdxqor\.so/) return "server: its own work (parse, decision, answer)"
    if (f[i] ~ /libdxqor\.so|ngx_http_dxqor_module\.so|mod_dxqor\.so/) return "plug-in: library and module (marshalling)"
  }
  if (comm == "dxqor-authzd") return "server: kernel, other"
  if (frames ~ /\[kernel\.kallsyms\]/) {
    if (f[1] ~ /finish_task_switch|__schedule|_raw_spin_unlock_irq/) return "web server: scheduler, other"
    return "web server: kernel (network, files)"
  }
  return "web server: its own code"
}
/^[^ \t]/ { flush(); comm = $1; frames = ""; next }
/^[ \t]/ { frames = frames $0 "\n"; next }
/^$/ { flush() }
function flush() {
  if (comm == "") return
  if (comm == WEB || comm == "dxqor-authzd") count[share(comm, frames)]++
  else other++
  comm = ""
}
END {
  flush()
  for (s in count) printf "  %-48s %6.1f us\n", s, count[s] * 1e6 / HZ / REQUESTS | "sort -k1,1"
  close("sort -k1,1")
  printf "  %-48s %6.1f us\n", "(other programs on the machine)", other * 1e6 / HZ / REQUESTS
}
