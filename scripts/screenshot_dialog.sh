#!/usr/bin/env bash
# Takes a picture of the diagnosis dialog for the README: runs the program in
# a private network with its own Wine prefix that draws on a virtual X screen.
# usage: scripts/screenshot_dialog.sh <folder with NorvexDiagnosis.exe> <png>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$1" && pwd)
out=$(realpath -m "$2")
exec unshare -n xvfb-run -a -s "-screen 0 800x700x24" bash -c '
    set -e
    ip link set lo up
    export WINEPREFIX="'"$root"'/build/x86_64/wineprefix-screen" WINEDEBUG=-all
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
    /usr/lib/wine/wine64 "'"$bin"'/NorvexDiagnosis.exe" </dev/null >/dev/null 2>&1 &
    sleep 6
    import -window root -crop 620x620+90+40 "'"$out"'"
    /usr/lib/wine/wineserver -k
'
