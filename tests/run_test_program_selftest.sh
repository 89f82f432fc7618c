#!/usr/bin/env bash
# Proves the test launcher's verdict and its retry: a case passes only with
# its pass line and exit status 0; a start that died without printing
# anything is tried again once, and only where the emulator runs; any other
# failure stands. A stand-in for Wine plays each case. With WINE and
# PROGRAM (a test program whose one case passes and which then crashes at
# exit), the same is shown for a real program under real Wine.
#
# usage: run_test_program_selftest.sh [WINE PROGRAM]
set -u
here=$(cd "$(dirname "$0")" && pwd)
launcher=$here/../scripts/run_test_program.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# fake-wine PROGRAM MODE: counts its starts in $work/starts.
cat >"$work/fake-wine" <<'FAKE'
#!/usr/bin/env bash
count=$(( $(cat "$STARTS" 2>/dev/null || echo 0) + 1 ))
echo "$count" >"$STARTS"
case $2 in
    silent) exit 5 ;;
    silent-once) [ "$count" -eq 1 ] && exit 5; echo "[  PASSED  ] 1 test."; exit 0 ;;
    loud) echo "[  FAILED  ] 1 test"; exit 1 ;;
    pass) echo "[  PASSED  ] 1 test."; exit 0 ;;
    crash-after-pass) echo "[  PASSED  ] 1 test."; exit 3 ;;
    no-pass-line) echo "[==========] 0 tests ran."; exit 0 ;;
    skip) echo "[  SKIPPED ] 1 test, listed below:"; exit 0 ;;
    skip-then-crash) echo "[  SKIPPED ] 1 test, listed below:"; exit 3 ;;
esac
FAKE
chmod +x "$work/fake-wine"

failed=0
# check MODE RETRY(0/1) EXPECTED-STATUS EXPECTED-STARTS EXPECTED-RETRY-LINES [EXPECTED-OUTPUT-LINE]
check() {
    local mode=$1 output status starts retries
    rm -f "$work/starts" "$work/retries"
    output=$(STARTS=$work/starts NORVEX_RETRY_LOG=$work/retries NORVEX_RETRY_SILENT_STARTS=$2 \
        bash "$launcher" "$work/fake-wine" test.exe "$mode" --gtest_filter=Suite.Case)
    status=$?
    starts=$(cat "$work/starts")
    retries=0
    [ -f "$work/retries" ] && retries=$(wc -l <"$work/retries")
    if [ "$status" -ne "$3" ] || [ "$starts" -ne "$4" ] || [ "$retries" -ne "$5" ] ||
        { [ -n "${6:-}" ] && ! grep -qx "$6" <<<"$output"; }; then
        echo "FAIL: $mode (retry $2): status $status, $starts start(s), $retries retry line(s); expected $3, $4, $5 ${6:+and \"$6\"}"
        echo "$output"
        failed=1
    fi
}
check pass 1 0 1 0
check loud 1 1 1 0
check crash-after-pass 1 3 1 0
check no-pass-line 1 1 1 0
check skip 1 0 1 0 "run_test_program: skipped-cleanly"
check skip-then-crash 1 3 1 0
check silent-once 1 0 2 1
check silent 1 5 2 1
check silent-once 0 5 1 0

# The real thing: the program prints its pass line and then crashes.
if [ $# -eq 2 ]; then
    output=$(bash "$launcher" "$1" "$2" --gtest_filter='*' 2>&1)
    status=$?
    if [ "$status" -eq 0 ] || ! grep -q '^\[  PASSED  \] 1 test\.' <<<"$output"; then
        echo "FAIL: a real program that crashed after its pass line: status $status"
        echo "$output"
        failed=1
    fi
fi
[ "$failed" -eq 0 ] && echo "PASS: a case passes only with its pass line and exit 0; only silent starts are retried, once, where asked"
exit "$failed"
