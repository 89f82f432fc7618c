// Child program of the shipped-file tests: a listed program that loads the
// shipped NorvexBind.dll by path, starts it as Winsock would over the
// recording provider (this program's folder holds it as mswsock.dll, the
// provider's fallback when its own entry is not in the catalog), and calls
// each replaced procedure through the table it got back, the way Winsock's
// dispatch does. Every call goes through CallChecked, so each line also says
// how far the call moved the stack pointer (0: the callee removed its
// arguments, as __stdcall does).
//
// usage: shipped_provider_probe <NorvexBind.dll path> [--unload-before-completion]
// Prints one line per step, "<step> result=<n> stack=<bytes> ..." and last
// the recording layer's call log; exits 0 when every step could run.
//
// --unload-before-completion instead issues one receive-from with a
// completion routine, then frees the library as Winsock does at the last
// WSACleanup, and completes the request only if the library is still
// mapped (the completion runs the provider's code).
#include "bind/core/tests/recording_provider.h"
#include "tests/support/stack_check.h"

#include <winsock2.h>
#include <ws2spi.h>
#include <tlhelp32.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>

namespace
{

int g_callerRoutineCalls = 0;
LPWSAOVERLAPPED g_callerRoutineOverlapped = nullptr;
DWORD g_callerRoutineBytes = 0;

void CALLBACK CallerRoutine(DWORD, DWORD cbTransferred, LPWSAOVERLAPPED lpOverlapped, DWORD)
{
    ++g_callerRoutineCalls;
    g_callerRoutineOverlapped = lpOverlapped;
    g_callerRoutineBytes = cbTransferred;
}

sockaddr_in Address(BYTE a, BYTE b, BYTE c, BYTE d, USHORT port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const BYTE bytes[4] = {a, b, c, d};
    std::memcpy(&address.sin_addr, bytes, 4);
    return address;
}

template <typename Fn>
Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

bool IsInside(const void* address, HMODULE module)
{
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto* at = static_cast<const BYTE*>(address);
    return at >= base && at < base + nt->OptionalHeader.SizeOfImage;
}

int CountEntriesInside(const WSPPROC_TABLE& table, HMODULE module)
{
    const auto* entries = reinterpret_cast<void* const*>(&table);
    int count = 0;
    for (size_t i = 0; i < sizeof(table) / sizeof(void*); ++i)
    {
        count += IsInside(entries[i], module) ? 1 : 0;
    }
    return count;
}

int WSPAPI RefuseOpenThread(LPWSATHREADID, LPINT lpErrno)
{
    *lpErrno = WSAENOBUFS;
    return SOCKET_ERROR;
}

// The base names of the modules loaded in this process, in lower case.
std::set<std::string> LoadedModules()
{
    std::set<std::string> names;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return names;
    }
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Module32FirstW(snapshot, &entry); more; more = ::Module32NextW(snapshot, &entry))
    {
        std::string name;
        for (const wchar_t* c = entry.szModule; *c != L'\0'; ++c)
        {
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        }
        names.insert(name);
    }
    ::CloseHandle(snapshot);
    return names;
}

int CompleteAfterUnload(HMODULE provider, HMODULE next, const WSPPROC_TABLE& table)
{
    auto planRecvFrom = Export<RecordingPlanRecvFromFn>(next, "RecordingProviderPlanRecvFrom");
    auto complete = Export<RecordingCompleteRecvFromFn>(next, "RecordingProviderCompleteRecvFrom");
    const sockaddr_in source = Address(192, 0, 2, 14, 53);
    planRecvFrom(RecvFromPending, 0, reinterpret_cast<const BYTE*>(&source), 16, 5);

    char data[8];
    WSABUF buffer = {sizeof(data), data};
    DWORD flags = 0;
    sockaddr_in from{};
    int fromlen = sizeof(from);
    WSAOVERLAPPED overlapped{};
    WSATHREADID threadId{};
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &threadId.ThreadHandle, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);
    int error = 0;
    const SOCKET s = 0x7F00; // never touched: the next layer only records it
    table.lpWSPRecvFrom(s, &buffer, 1, nullptr, &flags, reinterpret_cast<sockaddr*>(&from), &fromlen, &overlapped,
                        CallerRoutine, &threadId, &error);

    wchar_t path[MAX_PATH] = L"";
    ::GetModuleFileNameW(provider, path, MAX_PATH);
    ::FreeLibrary(provider);
    const bool isMapped = ::GetModuleHandleW(path) != nullptr;
    std::printf("mapped after FreeLibrary=%d\n", isMapped ? 1 : 0);
    if (isMapped)
    {
        complete(0);
        while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION)
        {
        }
        std::printf("caller-calls=%d\n", g_callerRoutineCalls);
    }
    ::CloseHandle(threadId.ThreadHandle);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        return 2;
    }
    const bool isUnloadingFirst = argc >= 3 && std::wcscmp(argv[2], L"--unload-before-completion") == 0;
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
    {
        return 2;
    }
    HMODULE provider = ::LoadLibraryW(argv[1]);
    auto startup = Export<LPWSPSTARTUP>(provider, "WSPStartup");
    if (startup == nullptr)
    {
        std::printf("no WSPStartup in %ls\n", argv[1]);
        return 3;
    }

    // A UDP chain of length 2 whose first entry is not in the catalog: the
    // provider then loads mswsock.dll, which is the recording layer here.
    WSAPROTOCOL_INFOW chain{};
    chain.ProtocolChain.ChainLen = 2;
    chain.ProtocolChain.ChainEntries[0] = 0x7FFF0001;
    chain.ProtocolChain.ChainEntries[1] = 0x7FFF0002;
    chain.iAddressFamily = AF_INET;
    chain.iSocketType = SOCK_DGRAM;
    chain.iProtocol = IPPROTO_UDP;
    WSPDATA data{};
    WSPUPCALLTABLE upcalls{};
    upcalls.lpWPUOpenCurrentThread = RefuseOpenThread;
    WSPPROC_TABLE table{};
    std::int32_t moved = 0;
    const std::set<std::string> modulesBefore = LoadedModules();
    const int started = CallChecked(startup, &moved, WORD(MAKEWORD(2, 2)), &data, &chain, upcalls, &table);
    std::string loadedByStartup;
    for (const std::string& name : LoadedModules())
    {
        loadedByStartup += modulesBefore.count(name) == 0 ? " " + name : "";
    }

    HMODULE next = ::GetModuleHandleW(L"mswsock.dll");
    auto reset = Export<RecordingResetFn>(next, "RecordingProviderReset");
    auto callLog = Export<RecordingCallLogFn>(next, "RecordingProviderCallLog");
    auto planRecvFrom = Export<RecordingPlanRecvFromFn>(next, "RecordingProviderPlanRecvFrom");
    auto lastRecvFrom = Export<RecordingLastRecvFromFn>(next, "RecordingProviderLastRecvFrom");
    auto lastAddress = Export<int (*)(BYTE*)>(next, "RecordingProviderLastAddress");
    if (reset == nullptr || callLog == nullptr || planRecvFrom == nullptr || lastRecvFrom == nullptr ||
        lastAddress == nullptr)
    {
        std::printf("the next layer is not the recording provider\n");
        return 3;
    }
    if (isUnloadingFirst)
    {
        std::printf("WSPStartup result=%d replaced=%d\n", started, CountEntriesInside(table, provider));
        return started == 0 ? CompleteAfterUnload(provider, next, table) : 0;
    }
    std::printf("WSPStartup result=%d stack=%d replaced=%d\n", started, static_cast<int>(moved),
                CountEntriesInside(table, provider));
    // Only the next layer: never the shell, nor the window libraries it
    // brings, into the processes the provider lives in.
    std::printf("loaded by WSPStartup:%s\n", loadedByStartup.c_str());
    if (started != 0)
    {
        return 0;
    }
    reset(0, 0);

    // A real, unbound socket: the forced bind asks Winsock about it.
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int error = 0;
    char payload[8] = "probe";
    WSABUF buffer = {sizeof(payload), payload};
    DWORD cb = 0;
    DWORD flags = 0;
    WSATHREADID threadId{};
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &threadId.ThreadHandle, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);

    const sockaddr_in any5000 = Address(0, 0, 0, 0, 5000);
    int result = CallChecked(table.lpWSPBind, &moved, s, reinterpret_cast<const sockaddr*>(&any5000), 16, &error);
    BYTE bound[16] = {};
    lastAddress(bound);
    const auto* boundAddress = reinterpret_cast<const sockaddr_in*>(bound);
    std::printf("WSPBind result=%d stack=%d passed=%u.%u.%u.%u:%u\n", result, static_cast<int>(moved), bound[4],
                bound[5], bound[6], bound[7], ntohs(boundAddress->sin_port));

    const sockaddr_in hostA = Address(192, 0, 2, 10, 80);
    result = CallChecked(table.lpWSPConnect, &moved, s, reinterpret_cast<const sockaddr*>(&hostA), 16,
                         LPWSABUF(nullptr), LPWSABUF(nullptr), LPQOS(nullptr), LPQOS(nullptr), &error);
    std::printf("WSPConnect result=%d stack=%d\n", result, static_cast<int>(moved));

    const sockaddr_in hostB = Address(192, 0, 2, 11, 53);
    result = CallChecked(table.lpWSPSendTo, &moved, s, &buffer, DWORD(1), &cb, DWORD(0),
                         reinterpret_cast<const sockaddr*>(&hostB), 16, LPWSAOVERLAPPED(nullptr),
                         LPWSAOVERLAPPED_COMPLETION_ROUTINE(nullptr), &threadId, &error);
    std::printf("WSPSendTo result=%d stack=%d\n", result, static_cast<int>(moved));

    result = CallChecked(table.lpWSPSend, &moved, s, &buffer, DWORD(1), &cb, DWORD(0), LPWSAOVERLAPPED(nullptr),
                         LPWSAOVERLAPPED_COMPLETION_ROUTINE(nullptr), &threadId, &error);
    std::printf("WSPSend result=%d stack=%d\n", result, static_cast<int>(moved));

    result = CallChecked(table.lpWSPRecv, &moved, s, &buffer, DWORD(1), &cb, &flags, LPWSAOVERLAPPED(nullptr),
                         LPWSAOVERLAPPED_COMPLETION_ROUTINE(nullptr), &threadId, &error);
    std::printf("WSPRecv result=%d stack=%d\n", result, static_cast<int>(moved));

    // A receive-from with a completion routine, completed the way a provider
    // completes it: the source written, the status in the overlapped
    // structure it was handed, then the routine it was handed called.
    const sockaddr_in sourceC = Address(192, 0, 2, 12, 53);
    planRecvFrom(RecvFromPending, 0, reinterpret_cast<const BYTE*>(&sourceC), 16, 5);
    sockaddr_in from{};
    int fromlen = sizeof(from);
    WSAOVERLAPPED overlapped{};
    overlapped.Offset = 0x1234;
    result = CallChecked(table.lpWSPRecvFrom, &moved, s, &buffer, DWORD(1), &cb, &flags,
                         reinterpret_cast<sockaddr*>(&from), &fromlen, &overlapped,
                         LPWSAOVERLAPPED_COMPLETION_ROUTINE(CallerRoutine), &threadId, &error);
    std::printf("WSPRecvFrom result=%d error=%d stack=%d\n", result, error, static_cast<int>(moved));
    RecordedRecvFrom handed{};
    lastRecvFrom(&handed);
    if (handed.lpOverlapped == nullptr || handed.lpCompletionRoutine == nullptr || handed.lpFrom == nullptr)
    {
        std::printf("the receive-from did not reach the next layer with a routine\n");
        return 4;
    }
    std::memcpy(handed.lpFrom, &sourceC, sizeof(sourceC));
    *handed.lpFromlen = 16;
    handed.lpOverlapped->Internal = 0;
    handed.lpOverlapped->InternalHigh = 5;
    CallChecked(handed.lpCompletionRoutine, &moved, DWORD(0), DWORD(5), handed.lpOverlapped, DWORD(0));
    std::printf("completion routine stack=%d caller-calls=%d own-overlapped=%d bytes=%lu internal-high=%lu\n",
                static_cast<int>(moved), g_callerRoutineCalls, g_callerRoutineOverlapped == &overlapped ? 1 : 0,
                g_callerRoutineBytes, static_cast<unsigned long>(overlapped.InternalHigh));

    // An event-based receive-from, completed at once, then its result query.
    const sockaddr_in sourceD = Address(192, 0, 2, 13, 53);
    planRecvFrom(RecvFromAtOnce, 0, reinterpret_cast<const BYTE*>(&sourceD), 16, 5);
    sockaddr_in fromD{};
    int fromlenD = sizeof(fromD);
    WSAOVERLAPPED overlappedD{};
    overlappedD.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    result = CallChecked(table.lpWSPRecvFrom, &moved, s, &buffer, DWORD(1), &cb, &flags,
                         reinterpret_cast<sockaddr*>(&fromD), &fromlenD, &overlappedD,
                         LPWSAOVERLAPPED_COMPLETION_ROUTINE(nullptr), &threadId, &error);
    std::printf("WSPRecvFrom result=%d stack=%d\n", result, static_cast<int>(moved));
    DWORD cbTransfer = 0;
    const BOOL done = CallChecked(table.lpWSPGetOverlappedResult, &moved, s, &overlappedD, &cbTransfer, BOOL(FALSE),
                                  &flags, &error);
    std::printf("WSPGetOverlappedResult result=%d stack=%d bytes=%lu\n", done, static_cast<int>(moved), cbTransfer);
    ::CloseHandle(overlappedD.hEvent);

    result = CallChecked(table.lpWSPCloseSocket, &moved, s, &error);
    std::printf("WSPCloseSocket result=%d stack=%d\n", result, static_cast<int>(moved));
    std::printf("next layer saw: %s\n", callLog());

    ::closesocket(s);
    ::CloseHandle(threadId.ThreadHandle);
    ::WSACleanup();
    return 0;
}
