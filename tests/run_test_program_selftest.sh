#!/usr/bin/env bash
# Proves that the test launcher starts a program again only when it died
# without printing anything, once, and that any other failure stands. A
# stand-in for Wine fails its first starts as asked.
set -u
here=$(cd "$(dirname "$0")" && pwd)
launcher=$here/../scripts/run_test_program.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# fake-wine PROGRAM MODE: counts its starts in $work/starts; MODE silent
# fails silently on every start, silent-once only on the first, loud always
# fails after printing, pass prints and passes.
cat >"$work/fake-wine" <<'FAKE'
#!/usr/bin/env bash
count=$(( $(cat "$STARTS" 2>/dev/null || echo 0) + 1 ))
echo "$count" >"$STARTS"
case $2 in
    silent) exit 5 ;;
    silent-once) [ "$count" -eq 1 ] && exit 5; echo "[  PASSED  ] 1 test."; exit 0 ;;
    loud) echo "[  FAILED  ] 1 test"; exit 1 ;;
    pass) echo "[  PASSED  ] 1 test."; exit 0 ;;
esac
FAKE
chmod +x "$work/fake-wine"

failed=0
check() { # mode expected-status expected-starts expected-retry-lines
    local mode=$1 output status starts retries
    rm -f "$work/starts" "$work/retries"
    output=$(STARTS=$work/starts NORVEX_RETRY_LOG=$work/retries bash "$launcher" "$work/fake-wine" test.exe "$mode")
    status=$?
    starts=$(cat "$work/starts")
    retries=0
    [ -f "$work/retries" ] && retries=$(wc -l <"$work/retries")
    if [ "$status" -ne "$2" ] || [ "$starts" -ne "$3" ] || [ "$retries" -ne "$4" ]; then
        echo "FAIL: $mode: status $status, $starts start(s), $retries retry line(s); expected $2, $3, $4"
        echo "$output"
        failed=1
    fi
}
check pass 0 1 0
check loud 1 1 0
check silent-once 0 2 1
check silent 5 2 1
[ "$failed" -eq 0 ] && echo "PASS: the launcher retries silent starts only, once"
exit "$failed"
