// Demo of the provider in a Winsock chain, in one process of a test flavour
// (32-bit or 64-bit: the provider of that bitness): registration against an
// in-memory catalog (Wine's cannot take providers), then start-up of the TCP
// chain for a listed and an unlisted executable. The next layer is the
// recording test provider: no traffic.
//
// usage: chain_demo [--no-costs]   (--no-costs leaves out the timings, which
// mean nothing where the program runs under an emulator)
#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/protocol_catalog.h"
#include "bind/core/provider_tables.h"
#include "bind/core/route_cache.h"
#include "bind/core/winsock_calls.h"
#include "bind/core/tests/in_memory_catalog.h"
#include "tests/support/ini_file.h"
#include "common/provider_files.h"
#include "common/product_paths.h"
#include "tests/support/test_support.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include <ws2tcpip.h>

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

// Winsock as a listed process sees it: bind goes back down the intercepted
// table (into the provider's WSPBind); a socket counts as bound once bound.
WSPPROC_TABLE g_appTable{};
bool g_showCosts = true;
SOCKET g_boundSockets[16];
int g_boundCount = 0;

int WSAAPI DemoGetSockName(SOCKET s, sockaddr*, int*)
{
    for (int i = 0; i < g_boundCount; ++i)
    {
        if (g_boundSockets[i] == s)
        {
            return 0;
        }
    }
    return SOCKET_ERROR;
}

int WSAAPI DemoBind(SOCKET s, const sockaddr* name, int namelen)
{
    int error = 0;
    int result = g_appTable.lpWSPBind(s, name, namelen, &error);
    if (result == 0 && g_boundCount < 16)
    {
        g_boundSockets[g_boundCount++] = s;
    }
    return result;
}

int WSAAPI DemoGetPeerName(SOCKET, sockaddr* name, int* namelen)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = 0x0A0200C0; // 192.0.2.10
    *reinterpret_cast<sockaddr_in*>(name) = peer;
    *namelen = sizeof(peer);
    return 0;
}

const WinsockCalls kDemoWinsock = {DemoGetSockName, DemoBind, DemoGetPeerName};

std::string Dotted(const BYTE* address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", address[4], address[5], address[6], address[7],
                  address[2] * 256u + address[3]);
    return text;
}

void ShowCalls(const char* what)
{
    HMODULE next = ::GetModuleHandleW(L"recording_provider.dll");
    auto log = reinterpret_cast<const char* (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderCallLog")));
    auto reset = reinterpret_cast<void (*)(int, int)>(
        reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderReset")));
    if (what[0] != '\0')
    {
        std::printf("  %-44s next layer saw: %s\n", what, log());
    }
    reset(0, 0);
}

void ShowHooks(const WSAPROTOCOL_INFOW& chain)
{
    std::wcscpy(ProcessImagePath, L"C:\\Apps\\Browser\\browser.exe");
    WSPDATA data{};
    WSPUPCALLTABLE upcalls{};
    WSPStartup(MAKEWORD(2, 2), &data, const_cast<WSAPROTOCOL_INFOW*>(&chain), upcalls, &g_appTable);
    SetWinsockCalls(&kDemoWinsock);
    (void)RouteCacheLock.Initialize();
    ShowCalls(""); // forget the start-up

    sockaddr_in web{};
    web.sin_family = AF_INET;
    web.sin_port = htons(443);
    web.sin_addr.s_addr = 0x0A0200C0; // 192.0.2.10
    sockaddr_in dns = web;
    dns.sin_port = htons(53);
    dns.sin_addr.s_addr = 0x0B0200C0; // 192.0.2.11
    int error = 0;
    g_appTable.lpWSPConnect(100, reinterpret_cast<sockaddr*>(&web), sizeof(web), nullptr, nullptr, nullptr, nullptr,
                            &error);
    ShowCalls("connect 192.0.2.10:443 (unbound socket):");
    char payload[] = "query";
    WSABUF buffer{sizeof(payload), payload};
    DWORD count = 0;
    g_appTable.lpWSPSendTo(101, &buffer, 1, &count, 0, reinterpret_cast<sockaddr*>(&dns), sizeof(dns), nullptr,
                           nullptr, nullptr, &error);
    ShowCalls("send-to 192.0.2.11:53 (unbound socket):");
    g_appTable.lpWSPSendTo(101, &buffer, 1, &count, 0, reinterpret_cast<sockaddr*>(&dns), sizeof(dns), nullptr,
                           nullptr, nullptr, &error);
    ShowCalls("send-to 192.0.2.11:53 again (bound, cached):");
    g_appTable.lpWSPConnect(102, reinterpret_cast<sockaddr*>(&web), sizeof(web), nullptr, nullptr, nullptr, nullptr,
                            &error);
    ShowCalls("connect 192.0.2.10:443, new socket (cached):");
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(5000);
    g_appTable.lpWSPBind(103, reinterpret_cast<sockaddr*>(&any), sizeof(any), &error);
    HMODULE next = ::GetModuleHandleW(L"recording_provider.dll");
    auto lastAddress = reinterpret_cast<int (*)(BYTE*)>(
        reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderLastAddress")));
    BYTE passed[16] = {};
    lastAddress(passed);
    std::printf("  %-44s next layer was asked to bind %s\n", "bind 0.0.0.0:5000 (ForceWSPBind=1):",
                Dotted(passed).c_str());
    ShowCalls("");

    if (!g_showCosts)
    {
        SetWinsockCalls(nullptr);
        return;
    }
    // A send on a connected socket whose peer is cached, through the
    // provider and straight to the next layer, in the same run.
    LARGE_INTEGER frequency, begin, middle, end;
    const int kCalls = 200000;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begin);
    for (int i = 0; i < kCalls; ++i)
    {
        NextProcTable.lpWSPSend(104, &buffer, 1, &count, 0, nullptr, nullptr, nullptr, &error);
    }
    ::QueryPerformanceCounter(&middle);
    for (int i = 0; i < kCalls; ++i)
    {
        g_appTable.lpWSPSend(104, &buffer, 1, &count, 0, nullptr, nullptr, nullptr, &error);
    }
    ::QueryPerformanceCounter(&end);
    double direct = (middle.QuadPart - begin.QuadPart) * 1e9 / frequency.QuadPart / kCalls;
    double hooked = (end.QuadPart - middle.QuadPart) * 1e9 / frequency.QuadPart / kCalls;
    std::printf("\ncost of one send on a connected socket, peer route cached: next layer alone %.0f ns, "
                "through the provider %.0f ns (%.1fx; the peer lookup here is a stand-in, Winsock's own "
                "getpeername comes on top)\n",
                direct, hooked, hooked / direct);
    SetWinsockCalls(nullptr);
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
    int replaced = CountEntriesOutside(table, ::GetModuleHandleW(L"recording_provider.dll"));
    std::printf("  %ls: WSPStartup returned %d, next layer \"%ls\", %d of 30 entries are the provider's own\n", exe,
                result, data.szDescription, replaced);
}

// What start-up costs next to the next layer's own, in this run.
void ShowStartUpCosts(const WSAPROTOCOL_INFOW& tcpChain)
{
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
}

} // namespace

int main(int argc, char** argv)
{
    g_showCosts = !(argc == 2 && std::strcmp(argv[1], "--no-costs") == 0);
    std::printf("the %d-bit provider, %ls, in a %d-bit process\n\n", static_cast<int>(sizeof(void*) * 8),
                kOwnProviderFile, static_cast<int>(sizeof(void*) * 8));
    InMemoryCatalog catalog;
    const std::wstring recording = BinFolder() + L"recording_provider.dll";
    catalog.AddEntry(Base(SOCK_STREAM, IPPROTO_TCP, L"MSAFD Tcpip [TCP/IP]"), recording);
    catalog.AddEntry(Base(SOCK_DGRAM, IPPROTO_UDP, L"MSAFD Tcpip [UDP/IP]"), recording);
    catalog.AddEntry(Base(SOCK_RAW, 0, L"MSAFD Tcpip [RAW/IP]"), recording);
    std::printf("catalog before registration:\n");
    PrintCatalog(catalog);

    std::wcscpy(ProviderPath, (BinFolder() + kOwnProviderFile).c_str());
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
    ScopedProductList productList;
    IniFile list(productList.Path());
    list.WriteString(L"Browser", L"AppFullname", L"C:\\Apps\\Browser\\browser.exe");
    list.WriteString(L"Browser", L"Active", L"1");
    list.WriteString(L"Browser", L"ForceWSPBind", L"1");
    std::printf("\nbinding started; applist.ini lists C:\\Apps\\Browser\\; start-up of the TCP chain:\n");
    StartUp(tcpChain, L"C:\\Apps\\Browser\\browser.exe");
    StartUp(tcpChain, L"C:\\Apps\\Editor\\editor.exe");

    std::printf("\nthe listed program's socket calls (the route server is the stand-in VPN client's):\n");
    ShowHooks(tcpChain);

    if (g_showCosts)
    {
        ShowStartUpCosts(tcpChain);
    }

    VpnBindStop();
    CloseGlobalControlBlock();

    std::printf("\nDllUnregisterServer() = %ld; catalog now:\n", static_cast<long>(DllUnregisterServer()));
    PrintCatalog(catalog);
    return 0;
}
