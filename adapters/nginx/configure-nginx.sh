#!/bin/bash
# Configures a copy of the installed nginx's build tree (nginx-dev) with the
# flags the installed binary was built with, so that the module's signature
# matches it, and with this directory as the dynamic module.
# Usage: configure-nginx.sh <copy of /usr/share/nginx/src> <module dir>
set -e
cd "$1"
. ./conf_flags
./configure "${NGX_CONF_FLAGS[@]}" --add-dynamic-module="$2" >configure.log 2>&1 || {
    cat configure.log >&2
    exit 1
}
