#!/usr/bin/env bash
# The provider's objects register no destructor to run at exit: at process
# exit the runtime would run it while other threads, killed where they stood,
# may have left the object half-changed (common/process_wide.h). GCC
# registers such a destructor with atexit from the object's initialiser.
#
# usage: check_no_exit_destructors.sh NM OBJECT...
set -u
nm=$1
shift
found=$("$nm" -A "$@" | grep -E ' U _?atexit$|__tcf_' || true)
if [ -n "$found" ]; then
    echo "FAIL: objects of the provider register exit-time destructors:"
    echo "$found"
    exit 1
fi
echo "PASS: $# objects of the provider register no exit-time destructor"
