#!/usr/bin/env bash
# Builds both flavours and runs every test: the x86_64 tests under Wine inside
# a private network namespace, and the check of the i686 deliverables.
set -euo pipefail
. "$(dirname "$0")/scripts/lib.sh"

ensure_packages
build_all
log "running the tests"
in_private_network ctest --test-dir "$BUILD_X64" --output-on-failure -j2 --timeout 300
