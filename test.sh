#!/usr/bin/env bash
# Builds every flavour and runs every test: the deliverable check and the
# suite twice, as x86_64 under 64-bit Wine and as i686 under 32-bit Wine, side
# by side, each inside its own private network namespace.
set -euo pipefail
. "$(dirname "$0")/scripts/lib.sh"

ensure_packages
build_all
log "running the tests"
bash "$ROOT/scripts/run_tests.sh"
