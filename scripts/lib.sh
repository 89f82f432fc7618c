# Shared by build.sh and test.sh: set-up on a fresh Debian machine, the four
# build flavours, and running Wine inside a private network namespace.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The deliverables' trees (as they ship) and the test trees.
BUILD_I686=$ROOT/build/i686
BUILD_X64=$ROOT/build/x64
BUILD_X86_64=$ROOT/build/x86_64
BUILD_I686_TESTS=$ROOT/build/i686-tests
DIST=$ROOT/dist
WINE=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver
# One WoW64 prefix for both Wines: 64-bit and 32-bit programs share it, as they
# share one machine on 64-bit Windows. (The i686 test run has a prefix of its
# own, so that the two test runs can go side by side: scripts/run_tests.sh.)
export WINEPREFIX=$ROOT/build/wineprefix
I686_TESTS_WINEPREFIX=$ROOT/build/wineprefix-i686
export WINEDEBUG=-all
# No Mono or Gecko installers when the prefix is created, and no debugger
# when a program crashes: it would keep the crashed test's output pipe open
# until CTest's time-out, instead of letting the test fail at once.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

log() { printf '\n== %s\n' "$*"; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs what is missing, by the file that proves each package is there,
# then makes sure that 32-bit Windows programs run (see ensure_i386_programs_run).
ensure_packages() {
    local wanted=() pair file package need_update=
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        log "adding the i386 architecture (for 32-bit Wine)"
        as_root dpkg --add-architecture i386
        need_update=1
    fi
    for pair in \
        /usr/bin/cmake:cmake \
        /usr/bin/make:make \
        /usr/bin/i686-w64-mingw32-g++-win32:g++-mingw-w64-i686 \
        /usr/bin/x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64 \
        /usr/bin/x86_64-w64-mingw32-g++-win32:g++-mingw-w64-x86-64 \
        /usr/lib/wine/wine64:wine64 \
        /usr/lib/wine/wine:wine32:i386 \
        /usr/src/googletest/CMakeLists.txt:googletest \
        /usr/bin/unshare:util-linux \
        /usr/sbin/ip:iproute2 \
        /usr/bin/strings:binutils \
        /usr/bin/dpkg-deb:dpkg; do
        file=${pair%%:*}
        package=${pair#*:}
        [ -e "$file" ] || wanted+=("$package")
    done
    if [ ${#wanted[@]} -ne 0 ]; then
        log "installing ${wanted[*]}"
        need_update=1
    fi
    if [ -n "$need_update" ]; then
        as_root apt-get update -q
    fi
    if [ ${#wanted[@]} -ne 0 ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${wanted[@]}"
    fi
    ensure_i386_programs_run
}

# 32-bit Wine is a 32-bit Linux program. Most kernels run those natively; where
# this one does not, qemu's user-mode emulator runs them, registered with
# binfmt_misc for 32-bit x86 ELF files. Bookworm's own qemu (7.2) needs about
# 50 s per Wine process; 8 and later are fast, so the emulator comes from the
# backports suite of the machine's own Debian archive, unpacked into the build
# tree without touching the machine's apt sources.
TOOLS_DIR=$ROOT/build/tools
QEMU_I386=$TOOLS_DIR/qemu/usr/bin/qemu-i386
BINFMT_DIR=/proc/sys/fs/binfmt_misc
BINFMT_NAME=qemu-i386

ensure_i386_programs_run() {
    local probe=$TOOLS_DIR/elf32-probe status=0
    build_elf32_probe "$probe"
    "$probe" 2>/dev/null || status=$?
    case $status in
        # NORVEX_I386_VIA_QEMU=1 takes the emulator path on a kernel that
        # would run them natively (a registered entry comes before native ELF).
        0) [ "${NORVEX_I386_VIA_QEMU:-0}" = 1 ] || return 0 ;;
        3) binfmt_entry_is_ours && return 0 ;;
    esac
    log "this kernel does not run 32-bit programs: registering qemu's user-mode emulator"
    fetch_qemu_user
    register_qemu_i386
    status=0
    "$probe" || status=$?
    if [ "$status" -ne 3 ]; then
        echo "32-bit programs still do not run (probe status $status)" >&2
        return 1
    fi
    echo "registered $QEMU_I386 ($("$QEMU_I386" --version | head -n 1)) as $BINFMT_DIR/$BINFMT_NAME"
}

# A static 32-bit program that exits 0 when it runs natively (the kernel says
# x86_64), 3 when it runs under an emulator (qemu reports the guest's i686).
build_elf32_probe() {
    local probe=$1
    [ -x "$probe" ] && return 0
    mkdir -p "$(dirname "$probe")"
    cat >"$probe.s" <<'ASM'
        .globl _start
        .text
_start: movl $122, %eax          # newuname(&name)
        movl $name, %ebx
        int $0x80
        movl $4, %ebx
        testl %eax, %eax
        jnz 1f
        movl $3, %ebx
        cmpb $'x', name+260      # machine, the fifth 65-byte field
        jne 1f
        movl $0, %ebx
1:      movl $1, %eax            # exit(status)
        int $0x80
        .bss
name:   .space 390
ASM
    as --32 -o "$probe.o" "$probe.s" && ld -m elf_i386 -o "$probe" "$probe.o"
}

binfmt_entry_is_ours() {
    local entry=$BINFMT_DIR/$BINFMT_NAME
    [ -x "$QEMU_I386" ] && [ -f "$entry" ] && grep -qx enabled "$entry" &&
        grep -qx "interpreter $QEMU_I386" "$entry"
}

fetch_qemu_user() {
    if [ -x "$QEMU_I386" ] && "$QEMU_I386" --version | head -n 1 | grep -Eq 'version ([89]|[1-9][0-9])\.'; then
        return 0
    fi
    local apt_dir=$TOOLS_DIR/apt-backports codename site
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    site=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 2>/dev/null |
        awk -v c="$codename" '$2 == c { print $1; exit }')
    [ -n "$site" ] || site=http://deb.debian.org/debian
    log "fetching qemu-user from $site $codename-backports (the machine's apt sources stay as they are)"
    rm -rf "$apt_dir" "$TOOLS_DIR/qemu"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    echo "deb $site $codename-backports main" >"$apt_dir/sources.list"
    local options=(-q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache")
    apt-get "${options[@]}" update
    (cd "$apt_dir" && apt-get "${options[@]}" download "qemu-user/$codename-backports")
    # Only the one emulator of the package's many (it is a static program).
    mkdir -p "$TOOLS_DIR/qemu"
    dpkg-deb --fsys-tarfile "$apt_dir"/qemu-user_*.deb | tar -x -C "$TOOLS_DIR/qemu" ./usr/bin/qemu-i386
    rm -rf "$apt_dir"
}

# Lasts until the machine restarts. F opens the emulator now, so it is found
# inside namespaces and from any folder.
register_qemu_i386() {
    if [ ! -e "$BINFMT_DIR/register" ]; then
        as_root mount -t binfmt_misc binfmt_misc "$BINFMT_DIR"
    fi
    if [ -e "$BINFMT_DIR/$BINFMT_NAME" ]; then
        echo -1 | as_root tee "$BINFMT_DIR/$BINFMT_NAME" >/dev/null
    fi
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":$BINFMT_NAME:M::$magic:$mask:$QEMU_I386:FOC" | as_root tee "$BINFMT_DIR/register" >/dev/null
}

build_flavour() {
    local flavour=$1 dir=$2
    shift 2
    log "building $flavour"
    cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$flavour.cmake" "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j"$(nproc)"
}

# The deliverables first: the test trees test them as they ship. Each test
# tree also knows the other's programs, for the tests across bitness.
build_all() {
    mkdir -p "$ROOT/build"
    build_flavour i686 "$BUILD_I686" -DNORVEX_BUILD_TESTS=OFF
    build_flavour x64 "$BUILD_X64" -DNORVEX_BUILD_TESTS=OFF
    collect_shipped_files
    local shipped=(-DNORVEX_SHIPPED_I686_DIR="$DIST/i686" -DNORVEX_SHIPPED_X64_DIR="$DIST/x64")
    build_flavour x86_64 "$BUILD_X86_64" -DNORVEX_BUILD_TESTS=ON "${shipped[@]}" \
        -DNORVEX_OTHER_TESTS_BIN_DIR="$BUILD_I686_TESTS/bin"
    build_flavour i686-tests "$BUILD_I686_TESTS" -DNORVEX_BUILD_TESTS=ON "${shipped[@]}" \
        -DNORVEX_OTHER_TESTS_BIN_DIR="$BUILD_X86_64/bin"
}

# The deliverables as they ship, stripped: dist/i686 (the provider for 32-bit
# processes and the diagnosis program) and dist/x64 (the provider for 64-bit
# processes). What the deliverable check inspects and the tests of the
# shipped files run.
collect_shipped_files() {
    local file
    rm -rf "$DIST/i686" "$DIST/x64"
    mkdir -p "$DIST/i686" "$DIST/x64"
    for file in NorvexBind.dll NorvexDiagnosis.exe; do
        i686-w64-mingw32-strip -o "$DIST/i686/$file" "$BUILD_I686/bin/$file"
    done
    x86_64-w64-mingw32-strip -o "$DIST/x64/NorvexBind64.dll" "$BUILD_X64/bin/NorvexBind64.dll"
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
        # The project'"'"'s own test hosts, on loopback inside the namespace:
        # 10.77.0.1 a peer, 10.77.0.2 the VPN address of the tests.
        ip addr add 10.77.0.1/32 dev lo
        ip addr add 10.77.0.2/32 dev lo
        . "'"$ROOT"'/scripts/lib.sh"
        export WINEPREFIX="'"$WINEPREFIX"'"
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
