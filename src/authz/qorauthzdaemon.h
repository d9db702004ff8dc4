// qorauthzdaemon.h: the dxqor-authzd program: its command line, start-up
// (policy, IPC objects, detaching), the signal loop (reload on SIGHUP, stop
// on SIGTERM and SIGINT) and the removal of everything it made.
#pragma once

// The whole program; returns the exit status (0 clean stop or valid
// policy, 1 invalid policy or failed start, 2 bad command line).
int qor_authz_daemon_main(int argc, char** argv);
