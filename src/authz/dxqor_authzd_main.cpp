// dxqor_authzd_main.cpp: the entry point of dxqor-authzd.
#include "authz/qorauthzdaemon.h"

int main(int argc, char** argv)
{
    return qor_authz_daemon_main(argc, argv);
}
