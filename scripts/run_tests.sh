#!/usr/bin/env bash
# Runs both test flavours through CTest at the same time, each in its own
# private network namespace with its own Wine prefix and server: what one
# flavour's tests share machine-wide (the control block and its mutex, the
# route pipe, applist.ini, the clipboard, loopback ports) never meets the
# other's. Each prefix is a WoW64 one, so the tests across bitness run in
# either. The x86_64 output is shown as it comes, then the i686 output, each
# after a line naming its flavour and ending with its own summary line.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
names=("x86_64 tests, 64-bit Wine" "i686 tests, 32-bit Wine")
dirs=("$BUILD_X86_64" "$BUILD_I686_TESTS")
prefixes=("$WINEPREFIX" "$I686_TESTS_WINEPREFIX")
pids=()
for i in 0 1; do
    (
        export WINEPREFIX=${prefixes[$i]}
        export NORVEX_RETRY_LOG=$logs/retries-$i
        # Only 32-bit Wine under the emulator loses starts (run_test_program.sh).
        if [ "$i" -eq 1 ] && binfmt_entry_is_ours; then
            export NORVEX_RETRY_SILENT_STARTS=1
        fi
        in_private_network ctest --test-dir "${dirs[$i]}" --output-on-failure -j2 --timeout 300
    ) >"$logs/$i" 2>&1 &
    pids+=($!)
done

status=0
summaries=()
for i in 0 1; do
    printf '\n== %s\n' "${names[$i]}"
    tail -n +1 -f --pid="${pids[$i]}" "$logs/$i"
    wait "${pids[$i]}" || status=1
    summaries+=("${names[$i]}:" "$(grep -E '^[0-9]+% tests passed' "$logs/$i" | tail -n 1)")
done

log "summary"
printf '%s\n' "${summaries[@]}"
for i in 0 1; do
    if [ -s "$logs/retries-$i" ]; then
        echo "${names[$i]}: programs started again after a start that printed nothing:"
        sed 's/^/    /' "$logs/retries-$i"
    fi
done
exit $status
