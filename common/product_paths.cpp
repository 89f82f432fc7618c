#include "common/product_paths.h"

#include "common/win32_handle.h"

#include <shlobj.h>

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

using SHGetFolderPathWFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
using SHCreateDirectoryExWFn = int(WINAPI*)(HWND, LPCWSTR, const SECURITY_ATTRIBUTES*);

// shell32 is bound at run time: a static import would pull user32 and gdi32
// into every process that loads the provider. The module stays loaded.
HMODULE GetShell32() noexcept
{
    return ::LoadLibraryW(L"shell32.dll");
}

std::wstring GetCommonAppDataFolder() noexcept
{
    wchar_t buffer[MAX_PATH] = {};
    HMODULE shell32 = GetShell32();
    if (shell32 != nullptr)
    {
        auto getFolderPath = reinterpret_cast<SHGetFolderPathWFn>(
            reinterpret_cast<void*>(::GetProcAddress(shell32, "SHGetFolderPathW")));
        if (getFolderPath != nullptr
            && FAILED(getFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        {
            buffer[0] = L'\0';
        }
    }
    buffer[MAX_PATH - 1] = L'\0';
    try
    {
        return std::wstring(buffer);
    }
    catch (...)
    {
        return std::wstring();
    }
}

void CreateFolderTree(const std::wstring& folder) noexcept
{
    HMODULE shell32 = GetShell32();
    if (shell32 == nullptr)
    {
        return;
    }
    auto createDirectory = reinterpret_cast<SHCreateDirectoryExWFn>(
        reinterpret_cast<void*>(::GetProcAddress(shell32, "SHCreateDirectoryExW")));
    if (createDirectory != nullptr)
    {
        // An existing folder is fine; a folder that cannot be created shows up
        // later as a missing list file.
        createDirectory(nullptr, folder.c_str(), nullptr);
    }
}

} // namespace

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
