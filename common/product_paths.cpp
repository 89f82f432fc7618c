#include "common/product_paths.h"

#include "common/win32_handle.h"


namespace
{

// Vista's name for the right Windows 2000 lacks; kept here so the code compiles
// against the Windows 2000 headers.
constexpr DWORD kProcessQueryLimitedInformation = 0x1000;
constexpr ULONG kProcessTimesClass = 4;

// A string that is written once per process and read without a lock.
// A caller that finds another thread filling it does not wait: it returns the
// value it computed itself, which is the same.
class OnceString
{
public:
    bool TryGet(std::wstring& out) const noexcept
    {
        if (::InterlockedCompareExchange(const_cast<LONG*>(&m_state), kReady, kReady) != kReady)
        {
            return false;
        }
        try
        {
            out.assign(m_text);
        }
        catch (...)
        {
            out.clear();
        }
        return true;
    }

    void Publish(const std::wstring& value) noexcept
    {
        if (value.empty() || value.size() >= kCapacity)
        {
            return;
        }
        if (::InterlockedCompareExchange(&m_state, kFilling, kEmpty) != kEmpty)
        {
            return;
        }
        value.copy(m_text, value.size());
        m_text[value.size()] = L'\0';
        ::InterlockedExchange(&m_state, kReady);
    }

private:
    static constexpr LONG kEmpty = 0;
    static constexpr LONG kFilling = 1;
    static constexpr LONG kReady = 2;
    static constexpr size_t kCapacity = MAX_PATH + 32;

    volatile LONG m_state = kEmpty;
    wchar_t m_text[kCapacity] = {};
};

OnceString g_productDataFolder;
OnceString g_appListPath;

// A string value of a key under HKEY_LOCAL_MACHINE, expanded when it is of
// type REG_EXPAND_SZ; empty when it is missing, of another type or too long
// for a path.
std::wstring ReadMachinePath(const wchar_t* keyPath, const wchar_t* valueName)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    {
        return std::wstring();
    }
    wchar_t value[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD cbValue = sizeof(value) - sizeof(wchar_t); // room for a terminator of our own
    const LONG status =
        ::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &cbValue);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return std::wstring();
    }
    if (type == REG_SZ)
    {
        return std::wstring(value);
    }
    wchar_t expanded[MAX_PATH] = {};
    const DWORD cchExpanded = ::ExpandEnvironmentStringsW(value, expanded, MAX_PATH);
    return cchExpanded != 0 && cchExpanded <= MAX_PATH ? std::wstring(expanded) : std::wstring();
}

// Every missing level of folder, one CreateDirectoryW each; an existing
// folder is fine, and a folder that cannot be created shows up later as a
// missing list file. The root (a drive, or a share's \\server\share) is
// never created.
void CreateFolderTree(const std::wstring& folder) noexcept
{
    try
    {
        size_t next = folder.compare(0, 2, L"\\\\") == 0 ? folder.find(L'\\', folder.find(L'\\', 2) + 1)
                                                       : folder.find(L'\\');
        while (next != std::wstring::npos)
        {
            next = folder.find(L'\\', next + 1);
            ::CreateDirectoryW(folder.substr(0, next).c_str(), nullptr);
        }
    }
    catch (...)
    {
    }
}

} // namespace

std::wstring GetCommonAppDataFolder() noexcept
{
    try
    {
        // Vista and later keep the folder in the profile list (the known
        // folder it became is fixed to that value); Windows 2000 and XP, which
        // have no such value, in the shell's folder keys, the user shell
        // folder (possibly with variables) before its expanded copy.
        std::wstring folder =
            ReadMachinePath(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProgramData");
        if (folder.empty())
        {
            folder = ReadMachinePath(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                                     L"Common AppData");
        }
        if (folder.empty())
        {
            folder = ReadMachinePath(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                                     L"Common AppData");
        }
        // As the shell gives it: no backslash at the end but a drive root's.
        while (folder.size() > 3 && folder.back() == L'\\')
        {
            folder.pop_back();
        }
        return folder;
    }
    catch (...)
    {
        return std::wstring();
    }
}

std::wstring GetProductDataFolder() noexcept
{
    std::wstring folder;
    if (g_productDataFolder.TryGet(folder))
    {
        return folder;
    }
    try
    {
        folder = GetCommonAppDataFolder();
        folder += L"\\Norvex";
        CreateFolderTree(folder);
        folder += L'\\';
    }
    catch (...)
    {
        return std::wstring();
    }
    g_productDataFolder.Publish(folder);
    return folder;
}

std::wstring GetAppListPath() noexcept
{
    std::wstring path;
    if (g_appListPath.TryGet(path))
    {
        return path;
    }
    try
    {
        path = GetProductDataFolder();
        if (path.empty())
        {
            return path;
        }
        path += L"applist.ini";
    }
    catch (...)
    {
        return std::wstring();
    }
    g_appListPath.Publish(path);
    return path;
}

ULONGLONG GetProcessCreateTime(DWORD processId) noexcept
{
    using NtQueryInformationProcessFn = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

    // ntdll is mapped into every process, so this neither loads anything nor
    // takes the loader path (this runs inside DllMain).
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
    {
        return 0;
    }
    auto query = reinterpret_cast<NtQueryInformationProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryInformationProcess")));
    if (query == nullptr)
    {
        return 0;
    }

    UniqueObject process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
    if (!process)
    {
        process.Reset(::OpenProcess(kProcessQueryLimitedInformation, FALSE, processId));
    }
    if (!process)
    {
        return 0;
    }

    // Creation, exit, kernel and user time, in that order.
    ULONGLONG times[4] = {};
    LONG status = query(process.Get(), kProcessTimesClass, times, sizeof(times), nullptr);
    return status >= 0 ? times[0] : 0;
}
