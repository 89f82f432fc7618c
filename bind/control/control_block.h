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

// Creates the mapping (or gets the one that appeared since the open failed).
// didCreate is true only when this call made a new object; the caller then
// owns the zeroing of the block. Null on failure.
HANDLE CreateControlBlockMapping(const wchar_t* name, bool* didCreate) noexcept;

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

// Binding is started: the block is present and StartTime is non-zero.
bool IsVpnBindStarted() noexcept;
// In addition, this process was created strictly after StartTime.
bool IsProcessAfterVpnBindStart() noexcept;
