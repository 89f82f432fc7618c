#!/usr/bin/env bash
# Inspects the deliverables the way the oldest supported Windows would load
# them: the right machine type, exports by plain name, no mingw runtime DLLs,
# and no import that Windows 2000 or XP lacks (for the 64-bit provider: that
# 64-bit Windows XP and Server 2003 lack, which the same list covers).
#
# usage: check_deliverables.sh <folder> <expected exports file> [i686|x64]
#   i686 (the default): NorvexBind.dll and NorvexDiagnosis.exe, 32-bit x86
#   x64: NorvexBind64.dll, x86_64
set -u
bin=$1
expected_exports=$2
arch=${3:-i686}
failures=0
case "$arch" in
    i686) objdump=${OBJDUMP:-i686-w64-mingw32-objdump}; format=pei-i386; provider_name=NorvexBind.dll
        programs=NorvexDiagnosis.exe ;;
    x64) objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}; format=pei-x86-64; provider_name=NorvexBind64.dll
        programs= ;;
    *) echo "unknown architecture $arch (i686 or x64)" >&2; exit 2 ;;
esac

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Functions that Windows 2000 or XP lacks, by DLL (lower case). Each was
# added in XP SP2, Vista or later, or exists only in newer runtimes:
#  - kernel32: slim locks, one-time init and condition variables (Vista),
#    GetTickCount64 (Vista), fiber-local storage (2003), vectored exception
#    handlers (XP), GetModuleHandleEx (XP), IsWow64Process and
#    GetNativeSystemInfo (XP SP2 / XP), Encode/DecodePointer (XP SP2), ...
#  - ws2_32: getaddrinfo family (XP), inet_pton/ntop and WSAPoll (Vista),
#    WSCWriteProviderOrder (in sporder.dll on the oldest systems: looked up
#    at run time instead).
#  - msvcrt: the secure "_s" functions, _vscprintf and the 64-bit time functions
#    (_time64, _localtime64, ...; not in the Windows 2000 msvcrt.dll).
deny_kernel32='GetTickCount64 AddVectoredExceptionHandler RemoveVectoredExceptionHandler
InitializeSRWLock AcquireSRWLockExclusive AcquireSRWLockShared ReleaseSRWLockExclusive
ReleaseSRWLockShared TryAcquireSRWLockExclusive TryAcquireSRWLockShared InitOnceExecuteOnce
InitOnceBeginInitialize InitOnceComplete InitializeConditionVariable SleepConditionVariableCS
SleepConditionVariableSRW WakeConditionVariable WakeAllConditionVariable GetNativeSystemInfo
IsWow64Process GetModuleHandleExA GetModuleHandleExW FlsAlloc FlsFree FlsGetValue FlsSetValue
CreateEventExA CreateEventExW CreateMutexExA CreateMutexExW CreateSemaphoreExW
InitializeCriticalSectionEx GetLogicalProcessorInformation QueryFullProcessImageNameW
GetFinalPathNameByHandleW SetDllDirectoryW EncodePointer DecodePointer GetProcessId GetThreadId
InterlockedCompareExchange64 CancelIoEx GetFileInformationByHandleEx GetSystemTimePreciseAsFileTime
GetCurrentProcessorNumber AttachConsole WTSGetActiveConsoleSessionId GetErrorMode
SetThreadErrorMode Wow64DisableWow64FsRedirection Wow64RevertWow64FsRedirection'
deny_ws2_32='getaddrinfo freeaddrinfo getnameinfo GetAddrInfoW FreeAddrInfoW GetNameInfoW inet_pton
inet_ntop InetPtonW InetNtopW WSAPoll WSCWriteProviderOrder WSCInstallProviderAndChains
WSCGetProviderInfo WSCSetProviderInfo WSCInstallProvider64_32 WSCEnumProtocols32'
deny_advapi32='RegGetValueA RegGetValueW RegDeleteKeyExW RegDeleteTreeW EventRegister EventWrite'
deny_shell32='SHGetKnownFolderPath'
deny_user32='SetProcessDPIAware ChangeWindowMessageFilter ChangeWindowMessageFilterEx'
deny_msvcrt='_vscprintf _vscwprintf _time64 _localtime64 _gmtime64 _mktime64 _ctime64 _wctime64 _ftime64 _difftime64'

# Prints "dll function" per import, dll in lower case.
list_imports() {
    "$objdump" -p "$1" | awk '
        /^\tDLL Name: / { dll = tolower($3); next }
        /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ && dll != "" { print dll, $3; next }
        /^$/ { }'
}

list_exports() {
    "$objdump" -p "$1" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
        inside && /^\t\[ *[0-9]+\] / { print $3; next }
        inside { inside = 0 }'
}

check_imports() {
    local file=$1 imports dll fn
    imports=$(list_imports "$file")
    if [ -z "$imports" ]; then
        fail "$file: no import table read"
        return
    fi
    while read -r dll fn; do
        case "$dll" in
            libstdc++*|libgcc_s*|libwinpthread*|libssp*|libatomic*|libgomp*)
                fail "$file imports the mingw runtime DLL $dll"; continue ;;
        esac
        local list=""
        case "$dll" in
            kernel32.dll) list=$deny_kernel32 ;;
            ws2_32.dll) list=$deny_ws2_32 ;;
            advapi32.dll) list=$deny_advapi32 ;;
            shell32.dll) list=$deny_shell32 ;;
            user32.dll) list=$deny_user32 ;;
            msvcrt.dll) list=$deny_msvcrt
                case "$fn" in *_s) fail "$file imports msvcrt.dll!$fn, which Windows 2000 lacks" ;; esac ;;
        esac
        for denied in $list; do
            [ "$fn" = "$denied" ] && fail "$file imports $dll!$fn, which Windows 2000 or XP lacks"
        done
    done <<<"$imports"
    echo "$file: $(echo "$imports" | wc -l) imports from $(echo "$imports" | cut -d' ' -f1 | sort -u | tr '\n' ' ')"
}

check_format() {
    local file=$1 actual
    actual=$("$objdump" -f "$file" 2>/dev/null | sed -n 's/.*file format //p' | head -n 1)
    [ "$actual" = "$format" ] || fail "$file is ${actual:-not a PE file}, not $format"
}

# The version strings are UTF-16 in the resource section.
check_version() {
    local file=$1 key
    for key in FileVersion ProductVersion; do
        if ! strings -e l "$file" | grep -A1 -x "$key" | tail -n 1 | grep -q -x '2\.3\.0\.2'; then
            fail "$file: $key is not 2.3.0.2"
        fi
    done
}

provider=$bin/$provider_name
if [ ! -f "$provider" ]; then
    fail "missing $provider"
else
    check_format "$provider"
    check_imports "$provider"
    # The provider runs in every socket-using process, services included:
    # no window-system libraries.
    for dll in $(list_imports "$provider" | cut -d' ' -f1 | sort -u); do
        case "$dll" in
            user32.dll|gdi32.dll|shell32.dll|comctl32.dll|ole32.dll)
                fail "$provider imports $dll" ;;
        esac
    done
    actual=$(list_exports "$provider" | sort)
    wanted=$(grep -v '^#' "$expected_exports" | grep -v '^$' | sort)
    if [ "$actual" != "$wanted" ]; then
        fail "$provider exports differ from $expected_exports:"
        diff <(echo "$wanted") <(echo "$actual") | sed 's/^/    /'
    else
        echo "$provider: exports $(echo "$actual" | tr '\n' ' ')"
    fi
    check_version "$provider"
    # What Windows shows as the file's original name: the 32-bit and the
    # 64-bit resource scripts must not be mixed up.
    if ! strings -e l "$provider" | grep -A1 -x OriginalFilename | tail -n 1 | grep -q -x -F "$provider_name"; then
        fail "$provider: OriginalFilename is not $provider_name"
    fi
    echo "$provider: $(stat -c %s "$provider") bytes"
fi

for program in $programs; do
    exe=$bin/$program
    [ -f "$exe" ] || { fail "missing $exe"; continue; }
    check_format "$exe"
    check_imports "$exe"
    check_version "$exe"
    # Elevation and visual styles come from the embedded manifest.
    for needle in 'level="requireAdministrator"' 'name="Microsoft.Windows.Common-Controls"' 'version="6.0.0.0"' 'processorArchitecture="x86"'; do
        grep -qa "$needle" "$exe" || { echo "$exe: manifest lacks $needle"; failures=$((failures + 1)); }
    done
done

if [ "$failures" -ne 0 ]; then
    echo "$failures problem(s) in the deliverables"
    exit 1
fi
echo "$arch deliverables look loadable on their oldest supported Windows"
