#!/usr/bin/env bash
# Builds both flavours, leaves the deliverables in dist/i686 and the test
# flavour in dist/x86_64, and shows the system working under Wine inside a
# private network namespace.
set -euo pipefail
. "$(dirname "$0")/scripts/lib.sh"

ensure_packages
build_all

log "collecting dist/"
rm -rf "$ROOT/dist"
mkdir -p "$ROOT/dist/i686" "$ROOT/dist/x86_64"
for file in NorvexBind.dll NorvexDiagnosis.exe; do
    if [ -f "$BUILD_I686/bin/$file" ]; then
        i686-w64-mingw32-strip -o "$ROOT/dist/i686/$file" "$BUILD_I686/bin/$file"
    fi
    [ -f "$BUILD_X64/bin/$file" ] && cp "$BUILD_X64/bin/$file" "$ROOT/dist/x86_64/"
done
# Test-flavour tools the demo runs.
for file in vpnclient.exe chain_demo.exe recording_provider.dll report_demo.exe; do
    cp "$BUILD_X64/bin/$file" "$ROOT/dist/x86_64/"
done
ls -l "$ROOT/dist/i686" "$ROOT/dist/x86_64"
bash "$ROOT/tests/check_deliverables.sh" "$ROOT/dist/i686" "$ROOT/tests/expected_exports.txt"

log "demo under Wine (private network namespace, loopback only)"
in_private_network bash "$ROOT/scripts/demo.sh" "$ROOT/dist/x86_64"
