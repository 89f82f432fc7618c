#include "loader_list.h"

#include <utility>

namespace
{

// Offsets in the loader's structures, as every Windows since 2000 lays them
// out: PEB.Ldr, PEB_LDR_DATA.InLoadOrderModuleList, and in
// LDR_DATA_TABLE_ENTRY (whose first member is InLoadOrderLinks) FullDllName
// and BaseDllName, each a UNICODE_STRING.
struct Layout
{
    ULONG pointerBytes;
    ULONG pebLdr;
    ULONG ldrInLoadOrder;
    ULONG entryFullName;
    ULONG entryBaseName;
    ULONG stringBuffer; // UNICODE_STRING.Buffer, after Length and MaximumLength
};

constexpr Layout kLayout32 = {4, 0x0C, 0x0C, 0x24, 0x2C, 4};
constexpr Layout kLayout64 = {8, 0x18, 0x10, 0x48, 0x58, 8};

// Longer names are not names: the list is being changed under the walk.
constexpr USHORT kMaxNameBytes = 2 * 1024;

class Walk
{
public:
    Walk(const RemoteMemory& memory, const Layout& layout) : m_memory(memory), m_layout(layout) {}

    bool Pointer(ULONGLONG address, ULONGLONG* value) const
    {
        *value = 0;
        return m_memory.read(m_memory.context, address, value, m_layout.pointerBytes);
    }

    bool String(ULONGLONG address, std::wstring* text) const
    {
        USHORT cbLength = 0;
        ULONGLONG buffer = 0;
        if (!m_memory.read(m_memory.context, address, &cbLength, sizeof(cbLength))
            || !Pointer(address + m_layout.stringBuffer, &buffer))
        {
            return false;
        }
        if (cbLength % 2 != 0 || cbLength > kMaxNameBytes || (cbLength != 0 && buffer == 0))
        {
            return false;
        }
        text->assign(cbLength / 2, L'\0');
        return cbLength == 0 || m_memory.read(m_memory.context, buffer, &(*text)[0], cbLength);
    }

private:
    const RemoteMemory& m_memory;
    const Layout& m_layout;
};

} // namespace

LoaderModules ReadLoaderModules(const RemoteMemory& memory, LoaderLayout which, ULONGLONG pebAddress)
{
    const Layout& layout = which == LoaderLayout::Bits64 ? kLayout64 : kLayout32;
    const Walk walk(memory, layout);
    LoaderModules modules;
    ULONGLONG ldr = 0;
    if (!walk.Pointer(pebAddress + layout.pebLdr, &ldr) || ldr == 0)
    {
        return modules; // not read, or the loader has not started yet
    }
    const ULONGLONG head = ldr + layout.ldrInLoadOrder;
    ULONGLONG link = 0;
    if (!walk.Pointer(head, &link))
    {
        return modules;
    }
    for (int count = 0; count < kMaxLoaderEntries && link != 0; ++count)
    {
        if (link == head)
        {
            modules.isComplete = true;
            break;
        }
        std::wstring name;
        if (!walk.String(link + layout.entryBaseName, &name))
        {
            break;
        }
        if (modules.names.empty() && !walk.String(link + layout.entryFullName, &modules.imagePath))
        {
            modules.imagePath.clear();
        }
        modules.names.push_back(std::move(name));
        if (!walk.Pointer(link, &link))
        {
            break;
        }
    }
    return modules;
}

namespace
{

constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessWow64Information = 26;
// Below this no structure of a process lies; Wine answers
// ProcessWow64Information with a plain 1 instead of the address.
constexpr ULONGLONG kLowestAddress = 0x10000;

template <typename Fn>
Fn NtdllFunction(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name)));
}

OtherBitnessModules Unread(const wchar_t* why, DWORD error)
{
    OtherBitnessModules result;
    result.whyNot = why;
    result.error = error;
    return result;
}

OtherBitnessModules Walked(const RemoteMemory& memory, LoaderLayout layout, ULONGLONG peb)
{
    OtherBitnessModules result;
    result.modules = ReadLoaderModules(memory, layout, peb);
    result.isRead = result.modules.isComplete || !result.modules.names.empty();
    if (!result.isRead)
    {
        result.whyNot = L"its loader list cannot be read";
    }
    return result;
}

#if defined(_WIN64)

bool ReadOwnBitness(void* context, ULONGLONG address, void* buffer, ULONG cb)
{
    SIZE_T cbRead = 0;
    return ::ReadProcessMemory(static_cast<HANDLE>(context), reinterpret_cast<const void*>(address), buffer, cb,
                               &cbRead)
           && cbRead == cb;
}

#else

// ntdll's functions for the 64-bit side of the machine, in WOW64's ntdll only.
struct ProcessBasicInformation64
{
    LONG exitStatus;
    ULONG reserved0;
    ULONGLONG pebBaseAddress;
    ULONGLONG affinityMask;
    LONG basePriority;
    ULONG reserved1;
    ULONGLONG uniqueProcessId;
    ULONGLONG inheritedFromUniqueProcessId;
};
static_assert(sizeof(ProcessBasicInformation64) == 48, "the 64-bit layout");

using QueryInformationProcess64Fn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using ReadVirtualMemory64Fn = LONG(NTAPI*)(HANDLE, ULONGLONG, PVOID, ULONGLONG, PULONGLONG);

struct Wow64Reader
{
    HANDLE process;
    ReadVirtualMemory64Fn read;
};

bool ReadThroughWow64(void* context, ULONGLONG address, void* buffer, ULONG cb)
{
    const auto* reader = static_cast<const Wow64Reader*>(context);
    ULONGLONG cbRead = 0;
    return reader->read(reader->process, address, buffer, cb, &cbRead) >= 0 && cbRead == cb;
}

#endif

} // namespace

OtherBitnessModules ReadOtherBitnessModules(HANDLE process)
{
#if defined(_WIN64)
    using QueryInformationProcessFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static const auto query = NtdllFunction<QueryInformationProcessFn>("NtQueryInformationProcess");
    if (query == nullptr)
    {
        return Unread(L"ntdll.dll has no NtQueryInformationProcess", 0);
    }
    ULONG_PTR peb32 = 0;
    const LONG status = query(process, kProcessWow64Information, &peb32, sizeof(peb32), nullptr);
    if (status < 0)
    {
        return Unread(L"the system does not tell where its 32-bit PEB is", static_cast<DWORD>(status));
    }
    if (peb32 < kLowestAddress)
    {
        return Unread(L"the system does not tell where its 32-bit PEB is", 0);
    }
    const RemoteMemory memory = {ReadOwnBitness, process};
    return Walked(memory, LoaderLayout::Bits32, peb32);
#else
    static const auto query = NtdllFunction<QueryInformationProcess64Fn>("NtWow64QueryInformationProcess64");
    static const auto read = NtdllFunction<ReadVirtualMemory64Fn>("NtWow64ReadVirtualMemory64");
    if (query == nullptr || read == nullptr)
    {
        return Unread(query == nullptr ? L"ntdll.dll has no NtWow64QueryInformationProcess64"
                                       : L"ntdll.dll has no NtWow64ReadVirtualMemory64",
                      0);
    }
    ProcessBasicInformation64 information = {};
    const LONG status = query(process, kProcessBasicInformation, &information, sizeof(information), nullptr);
    if (status < 0 || information.pebBaseAddress < kLowestAddress)
    {
        return Unread(L"the system does not tell where its 64-bit PEB is", static_cast<DWORD>(status));
    }
    Wow64Reader reader = {process, read};
    const RemoteMemory memory = {ReadThroughWow64, &reader};
    return Walked(memory, LoaderLayout::Bits64, information.pebBaseAddress);
#endif
}
