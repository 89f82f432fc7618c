# Shared by build.sh and test.sh: set-up on a fresh Debian machine, the two
# build flavours, and running Wine inside a private network namespace.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_I686=$ROOT/build/i686
BUILD_X64=$ROOT/build/x86_64
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX=$BUILD_X64/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko installers when the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="

log() { printf '\n== %s\n' "$*"; }

# Installs what is missing, by the file that proves each package is there.
ensure_packages() {
    local wanted=() pair file package
    for pair in \
        /usr/bin/cmake:cmake \
        /usr/bin/make:make \
        /usr/bin/i686-w64-mingw32-g++-win32:g++-mingw-w64-i686 \
        /usr/bin/x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64 \
        /usr/lib/wine/wine64:wine64 \
        /usr/src/googletest/CMakeLists.txt:googletest \
        /usr/bin/unshare:util-linux \
        /usr/sbin/ip:iproute2 \
        /usr/bin/strings:binutils; do
        file=${pair%%:*}
        package=${pair#*:}
        [ -e "$file" ] || wanted+=("$package")
    done
    if [ ${#wanted[@]} -eq 0 ]; then
        return 0
    fi
    log "installing ${wanted[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${wanted[@]}"
}

build_flavour() {
    local flavour=$1 dir=$2
    shift 2
    log "building $flavour"
    cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$flavour.cmake" "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j"$(nproc)"
}

build_all() {
    mkdir -p "$ROOT/build"
    build_flavour i686 "$BUILD_I686" -DNORVEX_BUILD_TESTS=OFF
    build_flavour x86_64 "$BUILD_X64" -DNORVEX_BUILD_TESTS=ON -DNORVEX_I686_BIN_DIR="$BUILD_I686/bin"
}

# Runs a command inside a new network namespace that has only loopback, with
# a wineserver for the build tree's prefix started inside it (Wine makes its
# sockets in the server, so a server outside would reach the real network).
# The prefix is created on first use, with the null graphics driver.
in_private_network() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "a private network namespace needs root (unshare -n)" >&2
        return 1
    fi
    # A server left running outside the namespace would be shared with it.
    "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
    unshare -n bash -c '
        set -e
        ip link set lo up
        . "'"$ROOT"'/scripts/lib.sh"
        start_wine
        set +e
        "$@"
        status=$?
        "$WINESERVER" -k </dev/null >/dev/null 2>&1
        "$WINESERVER" -w </dev/null >/dev/null 2>&1
        exit $status
    ' in_private_network "$@"
}

start_wine() {
    mkdir -p "$WINEPREFIX"
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    if [ ! -f "$WINEPREFIX/.norvex-ready" ]; then
        log "creating the Wine prefix $WINEPREFIX"
        "$WINE" wineboot -i </dev/null >/dev/null 2>&1
        "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        # The desktop process started by the prefix creation still uses the
        # default graphics driver, and windows then fail to open: restart the
        # server so that everything starts again with the null driver.
        "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
        "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
        "$WINESERVER" -p </dev/null >/dev/null 2>&1
        touch "$WINEPREFIX/.norvex-ready"
    fi
    # Wine's background services start with the first program of a server
    # and inherit its output streams; start them here, with none, so that
    # nobody (CTest above all) waits for those streams to close.
    "$WINE" wineboot </dev/null >/dev/null 2>&1
}

wine_run() {
    "$WINE" "$@" </dev/null
}
