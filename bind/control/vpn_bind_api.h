// What NorvexBind.dll offers to the programs that control it: the VPN client
// (VpnBindStart / VpnBindStop) and the diagnosis program
// (VpnBindGetGlobalControlBlock). The functions are exported by these plain
// names and use the __stdcall convention.
//
// The control block is machine-wide named shared memory; its layout is a
// cross-process format and never changes for a given version.
#pragma once

#include <windows.h>

#include <cstddef>

#pragma pack(push, 1)
struct VpnBindStartupParams
{
    DWORD Reserved; // first argument of the latest VpnBindStart, read by nobody
    DWORD VpnIP;    // VPN interface address, network byte order; 0 when stopped
};

struct VpnBindGlobalControlBlock
{
    FILETIME StartTime; // time of the latest VpnBindStart, 0 = binding stopped
    VpnBindStartupParams StartupParmas;
};
#pragma pack(pop)

static_assert(sizeof(VpnBindGlobalControlBlock) == 16, "shared layout");
static_assert(offsetof(VpnBindGlobalControlBlock, StartTime) == 0, "shared layout");
static_assert(offsetof(VpnBindGlobalControlBlock, StartupParmas) + offsetof(VpnBindStartupParams, Reserved) == 8,
              "shared layout");
static_assert(offsetof(VpnBindGlobalControlBlock, StartupParmas) + offsetof(VpnBindStartupParams, VpnIP) == 12,
              "shared layout");

extern "C" {
// Stamps the current time and stores both values; processes created after this
// call are intercepted. Keep the provider loaded while binding is to stay on.
void WINAPI VpnBindStart(DWORD reserved, DWORD vpnIp);
// Zeroes StartTime and VpnIP, keeps Reserved.
void WINAPI VpnBindStop();
// The block as mapped in the calling process, or null. Valid while the
// provider stays loaded in the caller.
VpnBindGlobalControlBlock* WINAPI VpnBindGetGlobalControlBlock();
}

using VpnBindStartFn = void(WINAPI*)(DWORD, DWORD);
using VpnBindStopFn = void(WINAPI*)();
using VpnBindGetGlobalControlBlockFn = VpnBindGlobalControlBlock*(WINAPI*)();
