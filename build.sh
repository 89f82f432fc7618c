#!/usr/bin/env bash
# Builds every flavour, leaves the deliverables in dist/i686 and dist/x64 and
# the tools of the demo in dist/x86_64 and dist/i686-demo, and shows the
# system working under Wine inside a private network namespace.
set -euo pipefail
. "$(dirname "$0")/scripts/lib.sh"

ensure_packages
build_all

log "collecting dist/"
rm -rf "$DIST/x86_64" "$DIST/i686-demo"
mkdir -p "$DIST/x86_64" "$DIST/i686-demo"
# The test flavour's provider and programs, and the tools the demo runs.
for file in NorvexBind64.dll NorvexDiagnosis.exe vpnclient.exe chain_demo.exe recording_provider.dll; do
    cp "$BUILD_X86_64/bin/$file" "$DIST/x86_64/"
done
# 32-bit stand-ins that work with the shipped files.
for file in vpnclient.exe drive_diagnosis.exe chain_demo.exe recording_provider.dll; do
    cp "$BUILD_I686_TESTS/bin/$file" "$DIST/i686-demo/"
done
ls -l "$DIST/i686" "$DIST/x64" "$DIST/x86_64" "$DIST/i686-demo"
bash "$ROOT/tests/check_deliverables.sh" "$DIST/i686" "$ROOT/tests/expected_exports.txt" i686
bash "$ROOT/tests/check_deliverables.sh" "$DIST/x64" "$ROOT/tests/expected_exports.txt" x64

log "demo under Wine (private network namespace, loopback only)"
in_private_network bash "$ROOT/scripts/demo.sh" "$DIST"
