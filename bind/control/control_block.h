// The machine-wide control block and its writers' mutex, as seen by this
// process, and the two predicates that gate every action of the provider.
//
// OpenGlobalControlBlock / InitSharedDataLock run at process attach,
// CloseGlobalControlBlock / CloseSharedDataLock at process detach; the
// handles and the view belong to this module.
#pragma once

#include "bind/control/vpn_bind_api.h"
#include "common/version.h"

#include <aclapi.h>

#define NORVEX_CONTROL_BLOCK_NAME \
    L"Global\\VpnBindGlobalControlBlock_{05F607A4-6E2F-42e8-AFE0-7F56211E6B88}_" NORVEX_VERSION_WSTRING
#define NORVEX_SHARED_DATA_MUTEX_NAME L"Global\\NorvexBindMutexName_{04A8142B-9687-4b74-B7DF-D39D3FBD1B69}"

extern HANDLE ControlBlockMapping;
extern VpnBindGlobalControlBlock* volatile ControlBlock;
extern HANDLE SharedDataLock;

// Name of the file mapping, with this provider's version in it.
const wchar_t* GetGlobalControlBlockName() noexcept;

void OpenGlobalControlBlock() noexcept;
void CloseGlobalControlBlock() noexcept;

// Opens the mapping, or creates it (open to everyone, low label). The system
// zero-fills a new mapping, so nobody ever zeroes the block: another process
// may open it and start the binding before this one has mapped its view.
// Null on failure.
HANDLE OpenOrCreateControlBlockMapping(const wchar_t* name) noexcept;
// Maps the whole block of the mapping into this process (ControlBlock) and
// takes the handle over (ControlBlockMapping), as process attach does.
void MapGlobalControlBlock(HANDLE mapping) noexcept;

void InitSharedDataLock() noexcept;
void CloseSharedDataLock() noexcept;
// How long a writer waits for SharedDataLock before it writes without it.
constexpr DWORD kSharedDataLockWaitMs = 1000;
// True when the calling thread now owns the mutex (an abandoned one too);
// pass the result to UnlockSharedData, which releases only what it owns.
[[nodiscard]] bool LockSharedData() noexcept;
void UnlockSharedData(bool isOwned) noexcept;

// Gives a kernel object the low mandatory integrity label. Win32 error code.
DWORD SetLowLabelToObject(HANDLE handle, SE_OBJECT_TYPE objectType) noexcept;

// The binding as one start left it: StartTime and VpnIP of the same start,
// never a mix of two nor a half-written time. The readers take no lock; the
// writers (under SharedDataLock) write StartTime 0 first, then the
// address, then the new time, and a reader takes the address only between
// two equal readings of a non-zero time. A writer that never finishes (it
// died in between) leaves the binding stopped.
struct BindingState
{
    ULONGLONG StartTime = 0; // FILETIME units; 0: stopped
    DWORD VpnIP = 0;         // network byte order

    bool IsStarted() const noexcept { return StartTime != 0; }
    // Strictly after: a process created at the very tick of the start is not.
    bool IsProcessAfterStart(ULONGLONG processCreateTime) const noexcept
    {
        return IsStarted() && processCreateTime > StartTime;
    }
};

// The block lies 8-byte aligned (a view starts on a page), so its StartTime
// is read and written in one access.
BindingState ReadBindingState(const VpnBindGlobalControlBlock* block) noexcept;
void WriteBindingStart(VpnBindGlobalControlBlock* block, DWORD reserved, DWORD vpnIp, ULONGLONG startTime) noexcept;
void WriteBindingStop(VpnBindGlobalControlBlock* block) noexcept;

// The binding in this process's block; stopped when there is no block.
BindingState CurrentBinding() noexcept;
// Binding is started: the block is present and StartTime is non-zero.
bool IsVpnBindStarted() noexcept;
// In addition, this process was created strictly after StartTime.
bool IsProcessAfterVpnBindStart() noexcept;
