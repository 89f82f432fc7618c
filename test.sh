#!/usr/bin/env bash
# Builds every flavour and runs every test: the deliverable check, then the
# suite twice, as x86_64 under 64-bit Wine and as i686 under 32-bit Wine, each
# inside a private network namespace.
set -euo pipefail
. "$(dirname "$0")/scripts/lib.sh"

ensure_packages
build_all
log "running the tests"
in_private_network bash "$ROOT/scripts/run_tests.sh"
