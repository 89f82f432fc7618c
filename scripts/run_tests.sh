#!/usr/bin/env bash
# Runs both test flavours through CTest, one after the other, and ends with
# each flavour's summary line. Runs inside in_private_network.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

status=0
summaries=()
run_flavour() {
    local name=$1 dir=$2 output
    printf '\n== %s\n' "$name"
    output=$(mktemp)
    ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 | tee "$output"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    summaries+=("$name:" "$(grep -E '^[0-9]+% tests passed' "$output" | tail -n 1)")
    rm -f "$output"
}

run_flavour "x86_64 tests, 64-bit Wine" "$BUILD_X86_64"
run_flavour "i686 tests, 32-bit Wine" "$BUILD_I686_TESTS"

log "summary"
printf '%s\n' "${summaries[@]}"
exit $status
