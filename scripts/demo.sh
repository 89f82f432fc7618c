#!/usr/bin/env bash
# The system at work under Wine: a stand-in VPN client loads the provider and
# starts the binding; other processes see the same machine-wide control block;
# both providers, the 64-bit and the 32-bit one, are registered in in-memory
# catalogs and intercept a listed program's start-up while an unlisted one
# passes through. The last steps run the shipped files: a 32-bit VPN client
# starts the binding through dist/i686's provider, a 64-bit process sees it
# through dist/x64's, a listed 32-bit and a listed 64-bit program hold their
# providers and see the one binding, and dist/i686's diagnosis program,
# started for real and driven through its windows, writes the report.
# Runs inside the private network namespace that build.sh sets up.
set -euo pipefail
shipped=$1/i686
shipped64=$1/x64
tools32=$1/i686-demo
dist=$1/x86_64
wine=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
client="$dist/vpnclient.exe"
client32="$tools32/vpnclient.exe"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
step() { printf '\n-- %s\n' "$*"; }
# Waits up to 10 s for a background program to print its ready line.
wait_for_line() {
    for _ in $(seq 1 100); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
}

step "1. the 64-bit VPN client loads NorvexBind64.dll and starts binding on 127.10.0.2"
"$wine" "$client" start 127.10.0.2 --reserved 7 --until-event NorvexDemoStop --hold-ms 60000 </dev/null \
    >"$dist/vpnclient.log" 2>&1 &
client_pid=$!
wait_for_line "$dist/vpnclient.log" 'binding started'
cat "$dist/vpnclient.log"

step "2. a second process loads the provider and prints the block it sees"
"$wine" "$client" show </dev/null

step "3. the VPN client stops binding and unloads the provider"
"$wine" "$client" signal NorvexDemoStop </dev/null
wait "$client_pid"
tail -n 1 "$dist/vpnclient.log"

step "4. nobody holds the block any more: the next loader finds a fresh, stopped one"
"$wine" "$client" show </dev/null

step "5. registration, start-up and socket calls in a Winsock chain, for each provider in the catalog of its bitness (in-memory catalogs, recording next layer, no traffic)"
"$wine" "$client" serve-routes --until-event NorvexDemoRoutes --hold-ms 120000 </dev/null >"$dist/routes.log" 2>&1 &
server_pid=$!
wait_for_line "$dist/routes.log" 'serving routes'
printf '\n64-bit:\n'
"$wine" "$dist/chain_demo.exe" </dev/null
# The 32-bit run may be emulated here: its timings would mean nothing.
printf '\n32-bit:\n'
"$wine32" "$tools32/chain_demo.exe" --no-costs </dev/null
"$wine" "$client" signal NorvexDemoRoutes </dev/null
wait "$server_pid"

step "6. what the stand-in VPN client's route server was asked (each host once per process: its cache answers after that)"
cat "$dist/routes.log"

step "7. the shipped 32-bit files: a 32-bit VPN client starts binding on 127.10.0.2 through $shipped/NorvexBind.dll"
"$wine32" "$client32" start 127.10.0.2 --reserved 32 --provider "$(winpath "$shipped/NorvexBind.dll")" \
    --until-event NorvexDemoReport --hold-ms 120000 </dev/null >"$dist/vpnclient.log" 2>&1 &
client_pid=$!
wait_for_line "$dist/vpnclient.log" 'binding started'
cat "$dist/vpnclient.log"

step "8. a 64-bit process loads $shipped64/NorvexBind64.dll and sees the same binding"
"$wine" "$client" show --provider "$(winpath "$shipped64/NorvexBind64.dll")" </dev/null

step "9. a listed 32-bit and a listed 64-bit program started after the binding, each with the provider of its bitness"
"$wine32" "$client32" show --provider "$(winpath "$shipped/NorvexBind.dll")" --until-event NorvexDemoListed \
    --hold-ms 120000 </dev/null >"$dist/listed.log" 2>&1 &
listed_pid=$!
"$wine" "$client" show --provider "$(winpath "$shipped64/NorvexBind64.dll")" --until-event NorvexDemoListed64 \
    --hold-ms 120000 </dev/null >"$dist/listed64.log" 2>&1 &
listed64_pid=$!
wait_for_line "$dist/listed.log" 'binding:'
wait_for_line "$dist/listed64.log" 'binding:'
printf '32-bit, NorvexBind.dll:\n'
cat "$dist/listed.log"
printf '64-bit, NorvexBind64.dll:\n'
cat "$dist/listed64.log"

step "10. the shipped NorvexDiagnosis.exe, started and driven through its windows, writes its report"
report="$1/NetworkDiagnosis-demo.txt"
rm -f "$report"
"$wine32" "$tools32/drive_diagnosis.exe" "$(winpath "$shipped/NorvexDiagnosis.exe")" "$(winpath "$report")" \
    --comments "demo run: the report as support staff receive it" --netstat \
    --demo-list --also-list "$(winpath "$dist/vpnclient.exe")" </dev/null
"$wine" "$client" signal NorvexDemoListed </dev/null
"$wine" "$client" signal NorvexDemoListed64 </dev/null
"$wine" "$client" signal NorvexDemoReport </dev/null
wait "$listed_pid" "$listed64_pid" "$client_pid"
printf '\n%s:\n' "$report"
tr -d '\r' <"$report"
