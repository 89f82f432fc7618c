#include "bind/control/control_block.h"

#include "bind/control/provider_state.h"
#include "common/win32_handle.h"

#include <sddl.h>

HANDLE ControlBlockMapping = nullptr;
VpnBindGlobalControlBlock* volatile ControlBlock = nullptr;
HANDLE SharedDataLock = nullptr;

namespace
{

#ifndef LABEL_SECURITY_INFORMATION
constexpr SECURITY_INFORMATION kLabelSecurityInformation = 0x00000010;
#else
constexpr SECURITY_INFORMATION kLabelSecurityInformation = LABEL_SECURITY_INFORMATION;
#endif

// Security attributes that let every account open the object: a present but
// null DACL, and an inheritable handle. The descriptor lives as long as this
// object, which is only around the create call.
class OpenToEveryone
{
public:
    OpenToEveryone() noexcept
    {
        m_attributes.nLength = sizeof(m_attributes);
        m_attributes.bInheritHandle = TRUE;
        m_descriptor = static_cast<PSECURITY_DESCRIPTOR>(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
        if (m_descriptor != nullptr
            && ::InitializeSecurityDescriptor(m_descriptor, SECURITY_DESCRIPTOR_REVISION)
            && ::SetSecurityDescriptorDacl(m_descriptor, TRUE, nullptr, FALSE))
        {
            m_attributes.lpSecurityDescriptor = m_descriptor;
        }
    }
    ~OpenToEveryone() { ::LocalFree(m_descriptor); }
    OpenToEveryone(const OpenToEveryone&) = delete;
    OpenToEveryone& operator=(const OpenToEveryone&) = delete;

    SECURITY_ATTRIBUTES* Get() noexcept { return &m_attributes; }

private:
    SECURITY_ATTRIBUTES m_attributes{};
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
};

volatile ULONGLONG* StartTimeIn(const VpnBindGlobalControlBlock* block) noexcept
{
    return reinterpret_cast<volatile ULONGLONG*>(const_cast<FILETIME*>(&block->StartTime));
}

volatile DWORD* VpnIpIn(const VpnBindGlobalControlBlock* block) noexcept
{
    return const_cast<volatile DWORD*>(&block->StartupParmas.VpnIP);
}

// Readers retry only while a writer is between its stores, which takes a
// few instructions; one that never ends them makes the reader pass.
constexpr int kBindingReadAttempts = 64;

} // namespace

const wchar_t* GetGlobalControlBlockName() noexcept
{
    return NORVEX_CONTROL_BLOCK_NAME;
}

HANDLE OpenOrCreateControlBlockMapping(const wchar_t* name) noexcept
{
    HANDLE mapping = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
    if (mapping != nullptr)
    {
        return mapping;
    }
    {
        OpenToEveryone security;
        // Opens the mapping that another process created since our open.
        mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Get(), PAGE_READWRITE, 0,
                                       sizeof(VpnBindGlobalControlBlock), name);
    }
    if (mapping != nullptr)
    {
        SetLowLabelToObject(mapping, SE_KERNEL_OBJECT);
    }
    return mapping;
}

void MapGlobalControlBlock(HANDLE mapping) noexcept
{
    if (mapping == nullptr)
    {
        return;
    }
    ControlBlockMapping = mapping;
    ControlBlock = static_cast<VpnBindGlobalControlBlock*>(
        ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
}

void OpenGlobalControlBlock() noexcept
{
    MapGlobalControlBlock(OpenOrCreateControlBlockMapping(GetGlobalControlBlockName()));
}

void CloseGlobalControlBlock() noexcept
{
    VpnBindGlobalControlBlock* block = ControlBlock;
    ControlBlock = nullptr;
    if (block != nullptr)
    {
        ::UnmapViewOfFile(block);
    }
    if (ControlBlockMapping != nullptr)
    {
        ::CloseHandle(ControlBlockMapping);
        ControlBlockMapping = nullptr;
    }
}

void InitSharedDataLock() noexcept
{
    {
        OpenToEveryone security;
        // Opens the existing mutex when another process created it first.
        SharedDataLock = ::CreateMutexW(security.Get(), FALSE, NORVEX_SHARED_DATA_MUTEX_NAME);
    }
    if (SharedDataLock != nullptr)
    {
        SetLowLabelToObject(SharedDataLock, SE_KERNEL_OBJECT);
    }
}

void CloseSharedDataLock() noexcept
{
    if (SharedDataLock != nullptr)
    {
        ::CloseHandle(SharedDataLock);
        SharedDataLock = nullptr;
    }
}

bool LockSharedData() noexcept
{
    // Without the mutex the wait fails at once and the writers go on without
    // mutual exclusion. The mutex is open to every process, and writers hold
    // it for a few stores only: a holder that keeps it longer than the wait
    // is stuck or hostile, and the write then goes ahead as without the
    // mutex. An abandoned mutex is owned like any other.
    const DWORD wait = ::WaitForSingleObject(SharedDataLock, kSharedDataLockWaitMs);
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

void UnlockSharedData(bool isOwned) noexcept
{
    if (isOwned)
    {
        ::ReleaseMutex(SharedDataLock);
    }
}

DWORD SetLowLabelToObject(HANDLE handle, SE_OBJECT_TYPE objectType) noexcept
{
    DWORD result = ERROR_INVALID_PARAMETER;

    // Windows 2000 and XP know no integrity labels: the conversion or the set
    // fails there and the object keeps its default label.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &descriptor,
                                                                nullptr))
    {
        return result;
    }
    UniqueLocal<void> owner(descriptor);

    BOOL isPresent = FALSE;
    BOOL isDefaulted = FALSE;
    PACL sacl = nullptr;
    if (::GetSecurityDescriptorSacl(descriptor, &isPresent, &sacl, &isDefaulted))
    {
        result = ::SetSecurityInfo(handle, objectType, kLabelSecurityInformation, nullptr, nullptr, nullptr, sacl);
    }
    return result;
}

BindingState ReadBindingState(const VpnBindGlobalControlBlock* block) noexcept
{
    for (int attempt = 0; attempt < kBindingReadAttempts; ++attempt)
    {
        const ULONGLONG startTime = __atomic_load_n(StartTimeIn(block), __ATOMIC_ACQUIRE);
        if (startTime == 0)
        {
            break;
        }
        const DWORD vpnIp = __atomic_load_n(VpnIpIn(block), __ATOMIC_ACQUIRE);
        if (__atomic_load_n(StartTimeIn(block), __ATOMIC_ACQUIRE) == startTime)
        {
            BindingState state;
            state.StartTime = startTime;
            state.VpnIP = vpnIp;
            return state;
        }
    }
    return BindingState();
}

void WriteBindingStart(VpnBindGlobalControlBlock* block, DWORD reserved, DWORD vpnIp, ULONGLONG startTime) noexcept
{
    // A reader that saw the old time sees it change, so it never pairs the
    // old time with the new address (two starts within one clock tick have
    // the same time, and either address is right for it).
    __atomic_store_n(StartTimeIn(block), 0ULL, __ATOMIC_RELEASE);
    block->StartupParmas.Reserved = reserved;
    __atomic_store_n(VpnIpIn(block), vpnIp, __ATOMIC_RELEASE);
    __atomic_store_n(StartTimeIn(block), startTime, __ATOMIC_RELEASE);
}

void WriteBindingStop(VpnBindGlobalControlBlock* block) noexcept
{
    __atomic_store_n(StartTimeIn(block), 0ULL, __ATOMIC_RELEASE);
    __atomic_store_n(VpnIpIn(block), static_cast<DWORD>(0), __ATOMIC_RELEASE);
}

BindingState CurrentBinding() noexcept
{
    const VpnBindGlobalControlBlock* block = ControlBlock;
    return block != nullptr ? ReadBindingState(block) : BindingState();
}

bool IsVpnBindStarted() noexcept
{
    return CurrentBinding().IsStarted();
}

bool IsProcessAfterVpnBindStart() noexcept
{
    return CurrentBinding().IsProcessAfterStart(ProcessCreateTime);
}

extern "C" void WINAPI VpnBindStart(DWORD reserved, DWORD vpnIp)
{
    VpnBindGlobalControlBlock* block = ControlBlock;
    if (block == nullptr)
    {
        return;
    }
    const bool isOwned = LockSharedData();
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    WriteBindingStart(block, reserved, vpnIp, (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    UnlockSharedData(isOwned);
}

extern "C" void WINAPI VpnBindStop()
{
    VpnBindGlobalControlBlock* block = ControlBlock;
    if (block == nullptr)
    {
        return;
    }
    const bool isOwned = LockSharedData();
    WriteBindingStop(block);
    UnlockSharedData(isOwned);
}

extern "C" VpnBindGlobalControlBlock* WINAPI VpnBindGetGlobalControlBlock()
{
    return ControlBlock;
}
