#include "bind/control/provider_state.h"

#include "bind/control/control_block.h"
#include "common/product_paths.h"

HMODULE ProviderModule = nullptr;
wchar_t ProviderPath[kProviderPathChars] = {};
wchar_t ProcessImagePath[kProviderPathChars] = {};
ULONGLONG ProcessCreateTime = 0;
CriticalSection RouteCacheLock;
CriticalSection PendingRecvFromLock;
CriticalSection ExtensionFunctionLock;

namespace
{

void GetModulePath(HMODULE module, wchar_t* buffer) noexcept
{
    // On Windows XP a truncated path is not terminated.
    DWORD cch = ::GetModuleFileNameW(module, buffer, kProviderPathChars);
    buffer[cch < kProviderPathChars ? cch : kProviderPathChars - 1] = L'\0';
}

} // namespace

void AttachProviderToProcess(HMODULE module) noexcept
{
    ProviderModule = module;
    GetModulePath(ProviderModule, ProviderPath);
    GetModulePath(nullptr, ProcessImagePath);
    ProcessCreateTime = GetProcessCreateTime(::GetCurrentProcessId());
    OpenGlobalControlBlock();
    // A lock that cannot be created leaves IsInitialized() false; the code
    // that uses it then passes through.
    (void)RouteCacheLock.Initialize();
    (void)PendingRecvFromLock.Initialize();
    (void)ExtensionFunctionLock.Initialize();
    InitSharedDataLock();
}

void DetachProviderFromProcess() noexcept
{
    CloseSharedDataLock();
    ExtensionFunctionLock.Delete();
    PendingRecvFromLock.Delete();
    RouteCacheLock.Delete();
    CloseGlobalControlBlock();
}
