#!/usr/bin/env bash
# CTest's launcher for one Windows test program: run_test_program.sh WINE
# PROGRAM [ARGUMENTS...].
#
# The verdict. A GoogleTest case (its arguments name one with
# --gtest_filter=) passes only when the program printed its pass line and
# then exited 0: a program that prints "[  PASSED  ] 1 test." and crashes
# afterwards (while a library unloads at process exit, say) fails. A case
# that skipped itself and exited 0 prints "run_test_program: skipped-cleanly",
# which is what the tests' SKIP_REGULAR_EXPRESSION looks for; a skip followed
# by a crash fails. Anything else (the test list, other programs) stands on
# its exit status alone.
#
# Under the emulator that runs 32-bit Wine on kernels without 32-bit support,
# a process now and then dies while Wine is still starting it, before the
# program's main. Test programs write their output unbuffered, so such a start
# prints nothing at all on standard output. Where NORVEX_RETRY_SILENT_STARTS
# is 1 (scripts/run_tests.sh sets it for that flavour only), that case, and
# only that one, is tried once more, with a notice in the test's output and,
# when NORVEX_RETRY_LOG names a file, a line there (scripts/run_tests.sh lists
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
if [ "$status" -ne 0 ] && [ ! -s "$output" ] && [ "${NORVEX_RETRY_SILENT_STARTS:-0}" = 1 ]; then
    notice="${1##*/} ${*:2} ended with status $status before printing anything (Wine did not start it); started once more"
    echo "run_test_program: $notice"
    if [ -n "${NORVEX_RETRY_LOG:-}" ]; then
        echo "$notice" >>"$NORVEX_RETRY_LOG"
    fi
    run_once "$@"
    status=$?
fi

is_one_case=0
for argument in "${@:2}"; do
    case $argument in --gtest_filter=*) is_one_case=1 ;; esac
done
if [ "$is_one_case" -eq 0 ]; then
    exit "$status"
fi
if [ "$status" -ne 0 ]; then
    echo "run_test_program: the program exited with status $status"
    exit "$status"
fi
if grep -q '^\[  PASSED  \] 1 test\.' "$output"; then
    exit 0
fi
if grep -q '^\[  SKIPPED \] 1 test' "$output"; then
    echo "run_test_program: skipped-cleanly"
    exit 0
fi
echo "run_test_program: exited 0 without the pass line"
exit 1
