#include "system_probes.h"

#include "common/catalog_api.h"
#include "common/product_paths.h"
#include "report_text.h"

#include <winsock2.h>
#include <rpc.h>
#include <tlhelp32.h>

#include <algorithm>

GetVersionExFn g_pfnGetVersionEx = ::GetVersionExW;

namespace
{

std::wstring NtVersionText(const OSVERSIONINFOEXW& info)
{
    const DWORD major = info.dwMajorVersion;
    const DWORD minor = info.dwMinorVersion;
    const int build = static_cast<int>(info.dwBuildNumber);
    const wchar_t* servicePack = info.szCSDVersion;
    const wchar_t* name = nullptr;
    if (major == 5 && minor == 0)
    {
        name = L"Windows 2000";
    }
    else if (major == 5 && minor == 1)
    {
        name = L"Windows XP";
    }
    else if (major == 5 && minor == 2)
    {
        name = L"Windows 2003";
    }
    else if (major == 6 && minor == 0)
    {
        name = info.wProductType == VER_NT_WORKSTATION ? L"Windows Vista" : L"Windows 2008";
    }
    else if (major == 6 && minor == 1)
    {
        name = L"Windows 7";
    }
    if (name == nullptr)
    {
        return FormatText(L"Windows NT %d.%d Build %d %ls", static_cast<int>(major), static_cast<int>(minor), build,
                          servicePack);
    }
    return FormatText(L"%ls Build %d %ls", name, build, servicePack);
}

std::wstring Windows9xText(const OSVERSIONINFOW& info)
{
    switch (info.dwMinorVersion)
    {
    case 0:
        return L"Windows 95";
    case 10:
        return L"Windows 98";
    case 90:
        return L"Windows Me";
    default:
        return FormatText(L"Windows %d.%d", static_cast<int>(info.dwMajorVersion),
                          static_cast<int>(info.dwMinorVersion));
    }
}

// Module lines of one process: the first module, or all of them.
void AppendModuleLines(std::wstring& text, DWORD processId, bool fullModuleList)
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        text += FormatText(L"    CreateToolhelp32Snapshot (of modules) failed %d.\r\n",
                           static_cast<int>(::GetLastError()));
        return;
    }
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    if (!::Module32FirstW(snapshot, &module))
    {
        text += FormatText(L"    Module32First failed %d.\r\n", static_cast<int>(::GetLastError()));
    }
    else
    {
        do
        {
            text += FormatText(L"    [0x%08x] %ls, %ls\r\n",
                               static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(module.modBaseAddr)),
                               module.szModule, module.szExePath);
        } while (fullModuleList && ::Module32NextW(snapshot, &module));
    }
    ::CloseHandle(snapshot);
}

// The file behind catalog id `id`, as the catalog stores it. A failed lookup
// writes its line and leaves the path empty.
void AppendChainLine(std::wstring& text, const WSAPROTOCOL_INFOW* entries, int count, DWORD id)
{
    bool isFound = false;
    std::wstring path;
    for (int i = 0; i < count; ++i)
    {
        if (entries[i].dwCatalogEntryId != id)
        {
            continue;
        }
        isFound = true;
        GUID providerId = entries[i].ProviderId;
        WCHAR buffer[MAX_PATH] = L"";
        int cchBuffer = MAX_PATH;
        int error = 0;
        if (GetCatalogApi().GetProviderPath(&providerId, buffer, &cchBuffer, &error) == SOCKET_ERROR)
        {
            text += FormatText(L"WSCGetProviderPath failed. %d\r\n", error);
            path.clear();
        }
        else
        {
            buffer[MAX_PATH - 1] = L'\0';
            path = buffer;
        }
    }
    if (isFound)
    {
        text += FormatText(L"   Chain=%d, Path=%ls\r\n", static_cast<int>(id), path.c_str());
    }
}

} // namespace

std::wstring GetOsVersionText()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!g_pfnGetVersionEx(&info))
    {
        return std::wstring();
    }
    switch (info.dwPlatformId)
    {
    case VER_PLATFORM_WIN32s:
        return FormatText(L"Windows(Win32s) %d.%d", static_cast<int>(info.dwMajorVersion),
                          static_cast<int>(info.dwMinorVersion));
    case VER_PLATFORM_WIN32_WINDOWS:
        return Windows9xText(info);
    case VER_PLATFORM_WIN32_NT:
    {
        OSVERSIONINFOEXW infoEx = {};
        infoEx.dwOSVersionInfoSize = sizeof(infoEx);
        if (!g_pfnGetVersionEx(reinterpret_cast<OSVERSIONINFOW*>(&infoEx)))
        {
            // NT 4 before its sixth service pack knows only the short form.
            std::copy_n(reinterpret_cast<const BYTE*>(&info), sizeof(info), reinterpret_cast<BYTE*>(&infoEx));
            infoEx.dwOSVersionInfoSize = sizeof(infoEx);
        }
        return NtVersionText(infoEx);
    }
    default:
        return std::wstring();
    }
}

std::wstring ProcessListText(bool fullModuleList)
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return FormatText(L"CreateToolhelp32Snapshot (of processes) failed %d.\r\n",
                          static_cast<int>(::GetLastError()));
    }
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof(process);
    if (!::Process32FirstW(snapshot, &process))
    {
        const DWORD error = ::GetLastError();
        ::CloseHandle(snapshot);
        return FormatText(L"Process32First failed %d.\r\n", static_cast<int>(error));
    }
    std::wstring text;
    do
    {
        text += FormatText(L"[%d] %ls, CreateTime = %I64d, ParentID=%d\r\n", static_cast<int>(process.th32ProcessID),
                           process.szExeFile, static_cast<LONGLONG>(GetProcessCreateTime(process.th32ProcessID)),
                           static_cast<int>(process.th32ParentProcessID));
        if (process.th32ProcessID != 0)
        {
            AppendModuleLines(text, process.th32ProcessID, fullModuleList);
        }
    } while (::Process32NextW(snapshot, &process));
    ::CloseHandle(snapshot);
    return text;
}

std::wstring GetLspListText()
{
    const CatalogApi& catalog = GetCatalogApi();
    DWORD cbEntries = 0;
    int error = 0;
    int count = 0;
    WSAPROTOCOL_INFOW* entries = nullptr;
    const int sizing = catalog.EnumProtocols(nullptr, nullptr, &cbEntries, &error);
    if ((sizing != SOCKET_ERROR || error == WSAENOBUFS) && cbEntries != 0)
    {
        entries = static_cast<WSAPROTOCOL_INFOW*>(::HeapAlloc(::GetProcessHeap(), 0, cbEntries));
        if (entries != nullptr)
        {
            count = catalog.EnumProtocols(nullptr, entries, &cbEntries, &error);
            // Never more entries than the block holds, whatever the count says.
            count = std::max(0, std::min(count, static_cast<int>(cbEntries / sizeof(WSAPROTOCOL_INFOW))));
        }
    }

    std::wstring text;
    WSADATA wsaData;
    const bool isStarted = ::WSAStartup(MAKEWORD(2, 2), &wsaData) == 0;
    if (!isStarted)
    {
        text += FormatText(L"WSAStartup failed. %d\r\n", ::WSAGetLastError());
    }
    for (int i = 0; i < count; ++i)
    {
        const WSAPROTOCOL_INFOW& entry = entries[i];
        text += FormatText(L" LSP Entry ProviderId={%ls}, CagalogEntryId=%d\r\n"
                           L"   ProtocolName=%ls, ServiceFlags1=0x%x, ProviderFlags=0x%x\r\n",
                           GuidToText(entry.ProviderId).c_str(), static_cast<int>(entry.dwCatalogEntryId),
                           entry.szProtocol, static_cast<unsigned>(entry.dwServiceFlags1),
                           static_cast<unsigned>(entry.dwProviderFlags));
        text += FormatText(L"   Version=%d, AddressFamily=%d\r\n   SocketType=%d, Protocol=%d\r\n", entry.iVersion,
                           entry.iAddressFamily, entry.iSocketType, entry.iProtocol);
        // A damaged entry may claim a longer chain than the array holds.
        const int chainLength = std::min(entry.ProtocolChain.ChainLen, MAX_PROTOCOL_CHAIN);
        for (int j = 0; j < chainLength; ++j)
        {
            AppendChainLine(text, entries, count, entry.ProtocolChain.ChainEntries[j]);
        }
    }
    if (entries != nullptr)
    {
        ::HeapFree(::GetProcessHeap(), 0, entries);
    }
    ::WSACleanup();
    return text;
}

std::wstring GuidToText(const GUID& guid)
{
    UUID uuid = guid;
    RPC_WSTR rpcText = nullptr;
    if (::UuidToStringW(&uuid, &rpcText) != RPC_S_OK || rpcText == nullptr)
    {
        return std::wstring();
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(rpcText));
    ::RpcStringFreeW(&rpcText);
    return text;
}
