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

ULONGLONG StartTimeOf(const VpnBindGlobalControlBlock* block) noexcept
{
    // Writers hold the mutex, readers do not: read each half once.
    const volatile DWORD* halves = reinterpret_cast<const volatile DWORD*>(&block->StartTime);
    DWORD low = halves[0];
    DWORD high = halves[1];
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

} // namespace

const wchar_t* GetGlobalControlBlockName() noexcept
{
    return NORVEX_CONTROL_BLOCK_NAME;
}

HANDLE CreateControlBlockMapping(const wchar_t* name, bool* didCreate) noexcept
{
    *didCreate = false;
    HANDLE mapping = nullptr;
    DWORD createError = ERROR_SUCCESS;
    {
        OpenToEveryone security;
        mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Get(), PAGE_READWRITE, 0,
                                       sizeof(VpnBindGlobalControlBlock), name);
        createError = ::GetLastError();
    }
    if (mapping == nullptr)
    {
        return nullptr;
    }
    // Another process may have created it between our failed open and this
    // call; that block may already be started and must not be zeroed.
    *didCreate = createError != ERROR_ALREADY_EXISTS;
    SetLowLabelToObject(mapping, SE_KERNEL_OBJECT);
    return mapping;
}

void OpenGlobalControlBlock() noexcept
{
    const wchar_t* name = GetGlobalControlBlockName();
    bool didCreate = false;
    HANDLE mapping = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
    if (mapping == nullptr)
    {
        mapping = CreateControlBlockMapping(name, &didCreate);
    }
    if (mapping == nullptr)
    {
        return;
    }
    ControlBlockMapping = mapping;

    auto* block = static_cast<VpnBindGlobalControlBlock*>(
        ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (block != nullptr && didCreate)
    {
        ::ZeroMemory(block, sizeof(*block));
    }
    ControlBlock = block;
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

bool IsVpnBindStarted() noexcept
{
    const VpnBindGlobalControlBlock* block = ControlBlock;
    return block != nullptr && StartTimeOf(block) != 0;
}

bool IsProcessAfterVpnBindStart() noexcept
{
    const VpnBindGlobalControlBlock* block = ControlBlock;
    if (block == nullptr)
    {
        return false;
    }
    ULONGLONG startTime = StartTimeOf(block);
    return startTime != 0 && ProcessCreateTime > startTime;
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
    block->StartTime = now;
    block->StartupParmas.Reserved = reserved;
    block->StartupParmas.VpnIP = vpnIp;
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
    block->StartTime.dwLowDateTime = 0;
    block->StartTime.dwHighDateTime = 0;
    block->StartupParmas.VpnIP = 0;
    UnlockSharedData(isOwned);
}

extern "C" VpnBindGlobalControlBlock* WINAPI VpnBindGetGlobalControlBlock()
{
    return ControlBlock;
}
