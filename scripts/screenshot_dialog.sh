#!/usr/bin/env bash
# Takes a picture of the diagnosis dialog for the README, as a user sees it:
# the program as it ships runs under 32-bit Wine on a virtual X screen with a
# small window manager, which draws the caption bar, in a private network
# and a Wine prefix of its own. Installs what it needs (root).
# usage: scripts/screenshot_dialog.sh <folder with NorvexDiagnosis.exe> <png>
set -euo pipefail
. "$(dirname "$0")/lib.sh"
bin=$(cd "$1" && pwd)
out=$(realpath -m "$2")

wanted=()
for pair in /usr/bin/xvfb-run:xvfb /usr/bin/xauth:xauth /usr/bin/import:imagemagick /usr/bin/openbox:openbox \
    /usr/bin/xwininfo:x11-utils; do
    [ -e "${pair%%:*}" ] || wanted+=("${pair#*:}")
done
if [ ${#wanted[@]} -ne 0 ]; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${wanted[@]}"
fi
ensure_i386_programs_run

export WINEPREFIX="$ROOT/build/wineprefix-screen"
mkdir -p "$WINEPREFIX"
exec unshare -n xvfb-run -a -s "-screen 0 800x700x24" bash -c '
    set -e
    ip link set lo up
    openbox --sm-disable >/dev/null 2>&1 &
    /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
    /usr/lib/wine/wine "'"$bin"'/NorvexDiagnosis.exe" </dev/null >/dev/null 2>&1 &
    for _ in $(seq 1 60); do
        window=$(xwininfo -root -tree | awk "/\"Diagnosis\"/ { print \$1; exit }")
        [ -n "$window" ] && break
        sleep 0.5
    done
    sleep 2
    # The frame the window manager drew around the dialog, caption included.
    import -frame -window "$window" "'"$out"'"
    /usr/lib/wine/wineserver -k
'
