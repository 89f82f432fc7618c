#!/usr/bin/env bash
# Proves that the deliverable check catches what it is there for: a DLL that
# imports a Vista-only function, exports a decorated name, or carries no
# version block must fail it, and so must a 32-bit DLL in the place of the
# 64-bit one.
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc=${I686_CC:-i686-w64-mingw32-gcc-win32}

cat >"$work/bad.c" <<'SRC'
#include <windows.h>
__declspec(dllexport) ULONGLONG __stdcall VpnBindStart(void) { return GetTickCount64(); }
SRC
mkdir -p "$work/bin"
if ! "$cc" -shared -D_WIN32_WINNT=0x0600 -o "$work/bin/NorvexBind.dll" "$work/bad.c" 2>"$work/cc.log"; then
    cat "$work/cc.log"
    echo "FAIL: cannot build the sample DLL"
    exit 1
fi
printf 'VpnBindStart\n' >"$work/exports.txt"
output=$(bash "$here/check_deliverables.sh" "$work/bin" "$work/exports.txt" 2>&1)
status=$?
echo "$output"
failed=0
expect() {
    if ! grep -q -- "$1" <<<"$output"; then
        echo "FAIL: the check did not report: $1"
        failed=1
    fi
}
expect 'kernel32.dll!GetTickCount64'
expect 'exports differ'
expect 'FileVersion is not 2.3.0.2'
expect 'OriginalFilename is not NorvexBind.dll'
if [ "$status" -eq 0 ]; then
    echo "FAIL: the check passed a broken DLL"
    failed=1
fi

mkdir -p "$work/x64"
cp "$work/bin/NorvexBind.dll" "$work/x64/NorvexBind64.dll"
output=$(bash "$here/check_deliverables.sh" "$work/x64" "$work/exports.txt" x64 2>&1)
status=$?
echo "$output"
expect 'NorvexBind64.dll is pei-i386, not pei-x86-64'
if [ "$status" -eq 0 ]; then
    echo "FAIL: the check passed a 32-bit DLL as the 64-bit provider"
    failed=1
fi
[ "$failed" -eq 0 ] && echo "the deliverable check rejects the broken sample"
exit "$failed"
