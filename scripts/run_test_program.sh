#!/usr/bin/env bash
# CTest's launcher for one Windows test program: run_test_program.sh WINE
# PROGRAM [ARGUMENTS...].
#
# Under the emulator that runs 32-bit Wine on kernels without 32-bit support,
# a process now and then dies while Wine is still starting it, before the
# program's main. Test programs write their output unbuffered, so such a start
# prints nothing at all on standard output. That case, and only that one, is
# tried once more, with a notice in the test's output and, when
# NORVEX_RETRY_LOG names a file, a line there (scripts/run_tests.sh lists
# them after the summaries); any other failure stands as it is.
#
# The program gets the launcher's death signal: when CTest kills the launcher
# at a time-out, the program goes with it instead of running on.
set -uo pipefail
wine=$1
shift
output=$(mktemp)
trap 'rm -f "$output"' EXIT

run_once() {
    setpriv --pdeathsig KILL -- "$wine" "$@" | tee "$output"
    return "${PIPESTATUS[0]}"
}

run_once "$@"
status=$?
if [ "$status" -ne 0 ] && [ ! -s "$output" ]; then
    notice="${1##*/} ${*:2} ended with status $status before printing anything (Wine did not start it); started once more"
    echo "run_test_program: $notice"
    if [ -n "${NORVEX_RETRY_LOG:-}" ]; then
        echo "$notice" >>"$NORVEX_RETRY_LOG"
    fi
    run_once "$@"
    status=$?
fi
exit "$status"
