// Demo of the provider in a Winsock chain, in one process of the test
// flavour: registration against an in-memory catalog (Wine's cannot take
// providers), then start-up of the TCP chain for a listed and an unlisted
// executable. The next layer is the recording test provider: no traffic.
#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/protocol_catalog.h"
#include "bind/core/tests/in_memory_catalog.h"
#include "common/ini_file.h"
#include "common/product_paths.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

extern "C" int WSPAPI WSPStartup(WORD, LPWSPDATA, LPWSAPROTOCOL_INFOW, WSPUPCALLTABLE, LPWSPPROC_TABLE);
extern "C" HRESULT WINAPI DllRegisterServer();
extern "C" HRESULT WINAPI DllUnregisterServer();

namespace
{

std::wstring BinFolder()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

WSAPROTOCOL_INFOW Base(int type, int protocol, const wchar_t* name)
{
    WSAPROTOCOL_INFOW info{};
    info.ProviderId = TestGuid(0xE70);
    info.iAddressFamily = AF_INET;
    info.iSocketType = type;
    info.iProtocol = protocol;
    info.ProtocolChain.ChainLen = BASE_PROTOCOL;
    std::wcsncpy(info.szProtocol, name, WSAPROTOCOL_LEN);
    return info;
}

void PrintCatalog(const InMemoryCatalog& catalog)
{
    for (const WSAPROTOCOL_INFOW& entry : catalog.Entries())
    {
        std::printf("  %4lu  %-26ls chain:", entry.dwCatalogEntryId, entry.szProtocol);
        if (entry.ProtocolChain.ChainLen == LAYERED_PROTOCOL)
        {
            std::printf(" layered");
        }
        else if (entry.ProtocolChain.ChainLen == BASE_PROTOCOL)
        {
            std::printf(" base");
        }
        for (int i = 0; i < entry.ProtocolChain.ChainLen && entry.ProtocolChain.ChainLen > 1; ++i)
        {
            std::printf(" %lu", entry.ProtocolChain.ChainEntries[i]);
        }
        std::printf("\n");
    }
}

double MicrosecondsPerStartUp(LPWSPSTARTUP startup, const WSAPROTOCOL_INFOW& chain, int calls)
{
    LARGE_INTEGER frequency, begin, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begin);
    for (int i = 0; i < calls; ++i)
    {
        WSPPROC_TABLE table{};
        WSPDATA data{};
        WSPUPCALLTABLE upcalls{};
        startup(MAKEWORD(2, 2), &data, const_cast<WSAPROTOCOL_INFOW*>(&chain), upcalls, &table);
    }
    ::QueryPerformanceCounter(&end);
    return (end.QuadPart - begin.QuadPart) * 1e6 / frequency.QuadPart / calls;
}

void StartUp(const WSAPROTOCOL_INFOW& chain, const wchar_t* exe)
{
    std::wcscpy(ProcessImagePath, exe);
    WSPPROC_TABLE table{};
    WSPDATA data{};
    WSPUPCALLTABLE upcalls{};
    int result = WSPStartup(MAKEWORD(2, 2), &data, const_cast<WSAPROTOCOL_INFOW*>(&chain), upcalls, &table);
    HMODULE next = ::GetModuleHandleW(L"recording_provider.dll");
    int replaced = 0;
    void* const* entries = reinterpret_cast<void* const*>(&table);
    for (size_t i = 0; i < sizeof(table) / sizeof(void*); ++i)
    {
        MEMORY_BASIC_INFORMATION info{};
        ::VirtualQuery(entries[i], &info, sizeof(info));
        replaced += info.AllocationBase != next ? 1 : 0;
    }
    std::printf("  %ls: WSPStartup returned %d, next layer \"%ls\", %d of 30 entries are the provider's own\n", exe,
                result, data.szDescription, replaced);
}

} // namespace

int main()
{
    InMemoryCatalog catalog;
    const std::wstring recording = BinFolder() + L"recording_provider.dll";
    catalog.AddEntry(Base(SOCK_STREAM, IPPROTO_TCP, L"MSAFD Tcpip [TCP/IP]"), recording);
    catalog.AddEntry(Base(SOCK_DGRAM, IPPROTO_UDP, L"MSAFD Tcpip [UDP/IP]"), recording);
    catalog.AddEntry(Base(SOCK_RAW, 0, L"MSAFD Tcpip [RAW/IP]"), recording);
    std::printf("catalog before registration:\n");
    PrintCatalog(catalog);

    std::wcscpy(ProviderPath, (BinFolder() + L"NorvexBind.dll").c_str());
    std::printf("\nDllRegisterServer() = %ld; catalog now:\n", static_cast<long>(DllRegisterServer()));
    PrintCatalog(catalog);

    WSAPROTOCOL_INFOW tcpChain{};
    for (const WSAPROTOCOL_INFOW& entry : catalog.Entries())
    {
        if (std::wcscmp(entry.szProtocol, L"Norvex Bind TCP Filter") == 0)
        {
            tcpChain = entry;
        }
    }

    // The binding is started, and this process plays one created just after.
    OpenGlobalControlBlock();
    VpnBindStart(0, 0x02000A7F); // 127.10.0.2
    ProcessCreateTime = ((static_cast<ULONGLONG>(ControlBlock->StartTime.dwHighDateTime) << 32)
                         | ControlBlock->StartTime.dwLowDateTime) + 1;
    std::wstring listPath = GetAppListPath();
    std::wstring savedPath = listPath + L".demo-saved";
    bool hadList = ::MoveFileExW(listPath.c_str(), savedPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    IniFile list(listPath);
    list.WriteString(L"Browser", L"AppFullname", L"C:\\Apps\\Browser\\browser.exe");
    list.WriteString(L"Browser", L"Active", L"1");
    list.WriteString(L"Browser", L"ForceWSPBind", L"1");
    std::printf("\nbinding started; applist.ini lists C:\\Apps\\Browser\\; start-up of the TCP chain:\n");
    StartUp(tcpChain, L"C:\\Apps\\Browser\\browser.exe");
    StartUp(tcpChain, L"C:\\Apps\\Editor\\editor.exe");

    // What start-up costs next to the next layer's own, in this run.
    auto next = reinterpret_cast<LPWSPSTARTUP>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"recording_provider.dll"), "WSPStartup")));
    double nextOnly = MicrosecondsPerStartUp(next, tcpChain, 2000);
    ULONGLONG createTime = ProcessCreateTime;
    ProcessCreateTime = 1; // a process older than the binding: no list read
    double older = MicrosecondsPerStartUp(WSPStartup, tcpChain, 200);
    ProcessCreateTime = createTime;
    std::wcscpy(ProcessImagePath, L"C:\\Apps\\Editor\\editor.exe");
    double unlisted = MicrosecondsPerStartUp(WSPStartup, tcpChain, 200);
    std::wcscpy(ProcessImagePath, L"C:\\Apps\\Browser\\browser.exe");
    double listed = MicrosecondsPerStartUp(WSPStartup, tcpChain, 20);
    std::printf("\ncost of one start-up: next layer alone %.2f us; through the provider: process older than the "
                "binding %.1f us, unlisted %.1f us, listed %.1f us\n",
                nextOnly, older, unlisted, listed);

    ::DeleteFileW(listPath.c_str());
    if (hadList)
    {
        ::MoveFileExW(savedPath.c_str(), listPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    VpnBindStop();
    CloseGlobalControlBlock();

    std::printf("\nDllUnregisterServer() = %ld; catalog now:\n", static_cast<long>(DllUnregisterServer()));
    PrintCatalog(catalog);
    return 0;
}
