// The replaced procedures under faults and under load: a listed program's
// socket calls return, with the next layer's result, whatever the route
// server does; and many threads calling every procedure while the server
// flaps leave no call hanging, no record and no handle behind.
//
// The next layer here is a small thread-safe one of this file's own (the
// recording provider keeps one global log); it never touches the network.
// Routes are asked for on the local route pipe only.
#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/control/route_pipe.h"
#include "bind/core/provider_tables.h"
#include "bind/core/recvfrom_tracking.h"
#include "bind/core/route_cache.h"
#include "bind/core/socket_hooks.h"
#include "bind/core/winsock_calls.h"
#include "common/win32_handle.h"
#include "tests/support/route_test.h"
#include "tests/support/test_support.h"
#include "tools/vpnclient/route_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace
{

const ULONG kVpnIp = Ipv4(127, 10, 0, 2);
// A margin on the route exchange's deadline: the 32-bit tests may run
// under an emulator.
constexpr DWORD kMarginMs = 1500;

// Documentation-range hosts: they only travel as bytes on the local pipe.
ULONG Host(unsigned n)
{
    return Ipv4(198, 51, 100, static_cast<BYTE>(1 + n % 200));
}

// --- The next layer -------------------------------------------------------

constexpr int kNextLayerResult = 0;
std::atomic<long> g_nextCalls{0};
std::atomic<long> g_queuedCompletions{0};

struct QueuedCompletion
{
    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine;
    LPWSAOVERLAPPED overlapped;
};

void CALLBACK RunCompletion(ULONG_PTR parameter)
{
    auto* completion = reinterpret_cast<QueuedCompletion*>(parameter);
    completion->routine(0, 8, completion->overlapped, 0);
    delete completion;
    --g_queuedCompletions;
}

void WriteSource(SOCKET s, sockaddr* lpFrom, LPINT lpFromlen)
{
    if (lpFrom != nullptr && lpFromlen != nullptr && *lpFromlen >= static_cast<int>(sizeof(sockaddr_in)))
    {
        const sockaddr_in source = Ipv4Address(Host(static_cast<unsigned>(s) / 4), 53);
        std::memcpy(lpFrom, &source, sizeof(source));
        *lpFromlen = sizeof(source);
    }
}

int WSPAPI NextBind(SOCKET, const sockaddr*, int, LPINT)
{
    ++g_nextCalls;
    return kNextLayerResult;
}

int WSPAPI NextConnect(SOCKET, const sockaddr*, int, LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPINT)
{
    ++g_nextCalls;
    return kNextLayerResult;
}

int WSPAPI NextSendTo(SOCKET, LPWSABUF, DWORD, LPDWORD, DWORD, const sockaddr*, int, LPWSAOVERLAPPED,
                      LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT)
{
    ++g_nextCalls;
    return kNextLayerResult;
}

int WSPAPI NextSendOrRecv(SOCKET, LPWSABUF, DWORD, LPDWORD, DWORD, LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE,
                          LPWSATHREADID, LPINT)
{
    ++g_nextCalls;
    return kNextLayerResult;
}

int WSPAPI NextRecv(SOCKET, LPWSABUF, DWORD, LPDWORD, LPDWORD, LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE,
                    LPWSATHREADID, LPINT)
{
    ++g_nextCalls;
    return kNextLayerResult;
}

// Completes every receive at once, as a transport with data waiting does:
// the source is written, an overlapped structure filled and its event set,
// and a completion routine queued to the issuing thread.
int WSPAPI NextRecvFrom(SOCKET s, LPWSABUF, DWORD, LPDWORD lpNumberOfBytesRecvd, LPDWORD, sockaddr* lpFrom,
                        LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT)
{
    ++g_nextCalls;
    WriteSource(s, lpFrom, lpFromlen);
    if (lpNumberOfBytesRecvd != nullptr)
    {
        *lpNumberOfBytesRecvd = 8;
    }
    if (lpOverlapped == nullptr)
    {
        return 0;
    }
    lpOverlapped->Internal = 0;
    lpOverlapped->InternalHigh = 8;
    if (lpCompletionRoutine != nullptr && lpThreadId != nullptr)
    {
        auto* completion = new QueuedCompletion{lpCompletionRoutine, lpOverlapped};
        ++g_queuedCompletions;
        if (::QueueUserAPC(RunCompletion, lpThreadId->ThreadHandle, reinterpret_cast<ULONG_PTR>(completion)) == 0)
        {
            delete completion;
            --g_queuedCompletions;
        }
    }
    else if (lpOverlapped->hEvent != nullptr)
    {
        ::SetEvent(lpOverlapped->hEvent);
    }
    return 0;
}

BOOL WSPAPI NextGetOverlappedResult(SOCKET, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer, BOOL, LPDWORD lpdwFlags,
                                    LPINT)
{
    ++g_nextCalls;
    *lpcbTransfer = static_cast<DWORD>(lpOverlapped->InternalHigh);
    *lpdwFlags = 0;
    return TRUE;
}

int WSPAPI NextCloseSocket(SOCKET, LPINT)
{
    ++g_nextCalls;
    return kNextLayerResult;
}

int WSPAPI OpenCurrentThread(LPWSATHREADID lpThreadId, LPINT)
{
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &lpThreadId->ThreadHandle,
                      0, FALSE, DUPLICATE_SAME_ACCESS);
    lpThreadId->Reserved = 0;
    return 0;
}

int WSPAPI CloseThread(LPWSATHREADID lpThreadId, LPINT)
{
    ::CloseHandle(lpThreadId->ThreadHandle);
    return 0;
}

// Winsock as the application sees it: sockets numbered 4k+2 and up are
// bound already, every socket has a peer, and the forced bind comes back
// into WSPBind as Winsock's dispatch would bring it.
int WSAAPI GetSockName(SOCKET s, sockaddr* name, int* namelen)
{
    if ((s & 4) == 0 || *namelen < static_cast<int>(sizeof(sockaddr_in)))
    {
        return SOCKET_ERROR;
    }
    *reinterpret_cast<sockaddr_in*>(name) = Ipv4Address(kVpnIp, 4000);
    return 0;
}

int WSAAPI Bind(SOCKET s, const sockaddr* name, int namelen)
{
    int error = 0;
    return WSPBind(s, name, namelen, &error);
}

int WSAAPI GetPeerName(SOCKET s, sockaddr* name, int* namelen)
{
    *reinterpret_cast<sockaddr_in*>(name) = Ipv4Address(Host(static_cast<unsigned>(s) / 4 + 1), 443);
    *namelen = sizeof(sockaddr_in);
    return 0;
}

const WinsockCalls kWinsock = {GetSockName, Bind, GetPeerName};

// --- The fixture ----------------------------------------------------------

class ProviderUnderFaults : public testing::Test
{
protected:
    void SetUp() override
    {
        NextProcTable = {};
        NextProcTable.lpWSPBind = NextBind;
        NextProcTable.lpWSPConnect = NextConnect;
        NextProcTable.lpWSPSendTo = NextSendTo;
        NextProcTable.lpWSPSend = NextSendOrRecv;
        NextProcTable.lpWSPRecv = NextRecv;
        NextProcTable.lpWSPRecvFrom = NextRecvFrom;
        NextProcTable.lpWSPGetOverlappedResult = NextGetOverlappedResult;
        NextProcTable.lpWSPCloseSocket = NextCloseSocket;
        SavedUpcallTable = {};
        SavedUpcallTable.lpWPUOpenCurrentThread = OpenCurrentThread;
        SavedUpcallTable.lpWPUCloseThread = CloseThread;
        ForceWSPBind = 1;
        UseAsyncMode = 1;
        SetWinsockCalls(&kWinsock);

        OpenGlobalControlBlock();
        ASSERT_NE(nullptr, ControlBlock);
        VpnBindStart(0, kVpnIp);
        ProcessCreateTime = ((static_cast<ULONGLONG>(ControlBlock->StartTime.dwHighDateTime) << 32)
                             | ControlBlock->StartTime.dwLowDateTime)
                            + 1;
        ASSERT_TRUE(RouteCacheLock.Initialize());
        ASSERT_TRUE(PendingRecvFromLock.Initialize());
        ClearCache();
    }

    void TearDown() override
    {
        SetWinsockCalls(nullptr);
        VpnBindStop();
        CloseGlobalControlBlock();
        ProcessCreateTime = 0;
        ForceWSPBind = 0;
        UseAsyncMode = 0;
        NextProcTable = {};
        SavedUpcallTable = {};
        ClearCache();
    }

    static void ClearCache()
    {
        auto guard = RouteCacheLock.Lock();
        RouteCache.Clear();
    }
};

TEST_F(ProviderUnderFaults, ConnectReturnsTheNextLayersResultWithinTheDeadline)
{
    RouteReplyPlan slow;
    slow.kind = RouteReplyKind::Slow;
    slow.delayMs = kRouteExchangeDeadlineMs + 2000;
    RouteReplyPlan silent;
    silent.kind = RouteReplyKind::Never;
    RouteReplyPlan closing;
    closing.kind = RouteReplyKind::Close;
    RouteReplyPlan no;
    no.value = 0;
    enum class Server { Ours, None, Squatter };
    const struct
    {
        const char* name;
        Server server;
        RouteReplyPlan plan;
    } cases[] = {
        {"yes", Server::Ours, RouteReplyPlan{}},
        {"no", Server::Ours, no},
        {"silent", Server::Ours, silent},
        {"slow", Server::Ours, slow},
        {"closes without a reply", Server::Ours, closing},
        {"absent", Server::None, RouteReplyPlan{}},
        {"name taken by another process", Server::Squatter, RouteReplyPlan{}},
    };
    unsigned n = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RouteServer server;
        ChildResult squatter;
        std::thread squatterRunner;
        wchar_t stopName[64];
        std::swprintf(stopName, 64, L"NorvexSoakSquatterStop-%lu", ::GetCurrentProcessId());
        UniqueObject stop(::CreateEventW(nullptr, TRUE, FALSE, stopName));
        if (c.server == Server::Ours)
        {
            ASSERT_TRUE(server.Start(kRoutePipeName, 2, c.plan));
        }
        else if (c.server == Server::Squatter)
        {
            squatterRunner = std::thread([&] {
                squatter = RunChild(L"\"" + GetTestBinFolder() + L"vpnclient.exe\" serve-routes --instances 1 "
                                    L"--reply never --until-event " + stopName, 60000);
            });
            ASSERT_TRUE(WaitForRoutePipe());
        }

        const sockaddr_in to = Ipv4Address(Host(n++), 443);
        int error = 0;
        ::SetLastError(0xDEADBEEF);
        const DWORD start = ::GetTickCount();
        const int result = WSPConnect(8, reinterpret_cast<const sockaddr*>(&to), sizeof(to), nullptr, nullptr,
                                      nullptr, nullptr, &error);
        const DWORD elapsedMs = ::GetTickCount() - start;
        std::printf("%s: connect returned %d after %lu ms\n", c.name, result, elapsedMs);
        EXPECT_EQ(kNextLayerResult, result);
        EXPECT_EQ(0xDEADBEEFu, ::GetLastError());
        EXPECT_LT(elapsedMs, kRouteExchangeDeadlineMs + kMarginMs);

        ::SetEvent(stop.Get());
        if (squatterRunner.joinable())
        {
            squatterRunner.join();
        }
    }
}

// --- The soak -------------------------------------------------------------

DWORD SoakSeconds()
{
    wchar_t text[16] = L"";
    const DWORD cch = ::GetEnvironmentVariableW(L"NORVEX_SOAK_SECONDS", text, 16);
    const long value = cch > 0 && cch < 16 ? std::wcstol(text, nullptr, 10) : 0;
    return value > 0 ? static_cast<DWORD>(value) : 60;
}

struct SoakFigures
{
    std::atomic<long> calls{0};
    std::atomic<DWORD> longestMs{0};
    std::atomic<long> failures{0};
    std::atomic<long> slowCalls{0}; // longer than a second: they waited for the server
};

void NoteCall(SoakFigures& figures, DWORD startedAt)
{
    const DWORD elapsed = ::GetTickCount() - startedAt;
    ++figures.calls;
    if (elapsed > 1000)
    {
        ++figures.slowCalls;
    }
    DWORD longest = figures.longestMs.load();
    while (elapsed > longest && !figures.longestMs.compare_exchange_weak(longest, elapsed))
    {
    }
}

void CALLBACK SoakRoutine(DWORD, DWORD, LPWSAOVERLAPPED, DWORD)
{
}

// One thread's share: 50 sockets, each connected, sent to, read from in
// every way and closed, round after round, until the time is up.
void SoakThread(int index, DWORD endAt, SoakFigures& figures)
{
    constexpr int kSockets = 50;
    WSATHREADID threadId{};
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &threadId.ThreadHandle, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);
    UniqueObject event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    char data[16] = {};
    WSABUF buffer = {sizeof(data), data};
    for (unsigned round = 0; static_cast<LONG>(::GetTickCount() - endAt) < 0; ++round)
    {
        for (int i = 0; i < kSockets && static_cast<LONG>(::GetTickCount() - endAt) < 0; ++i)
        {
            const SOCKET s = static_cast<SOCKET>((index * kSockets + i) * 4 + 8 + (round & 1) * 4);
            const sockaddr_in to = Ipv4Address(Host(static_cast<unsigned>(s) / 4 + round), 443);
            DWORD cb = 0;
            DWORD flags = 0;
            int error = 0;
            auto check = [&figures](bool isExpected) {
                if (!isExpected)
                {
                    ++figures.failures;
                }
            };

            DWORD start = ::GetTickCount();
            check(WSPConnect(s, reinterpret_cast<const sockaddr*>(&to), sizeof(to), nullptr, nullptr, nullptr,
                             nullptr, &error) == kNextLayerResult);
            NoteCall(figures, start);
            start = ::GetTickCount();
            check(WSPSendTo(s, &buffer, 1, &cb, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to), nullptr,
                            nullptr, nullptr, &error) == kNextLayerResult);
            NoteCall(figures, start);
            start = ::GetTickCount();
            check(WSPSend(s, &buffer, 1, &cb, 0, nullptr, nullptr, nullptr, &error) == kNextLayerResult);
            NoteCall(figures, start);
            start = ::GetTickCount();
            check(WSPRecv(s, &buffer, 1, &cb, &flags, nullptr, nullptr, nullptr, &error) == kNextLayerResult);
            NoteCall(figures, start);

            sockaddr_in from{};
            int fromlen = sizeof(from);
            WSAOVERLAPPED overlapped{};
            switch ((round + i) % 3)
            {
            case 0: // blocking
                start = ::GetTickCount();
                check(WSPRecvFrom(s, &buffer, 1, &cb, &flags, reinterpret_cast<sockaddr*>(&from), &fromlen, nullptr,
                                  nullptr, nullptr, &error) == 0);
                NoteCall(figures, start);
                break;
            case 1: // completion routine, with and without the caller's thread id
                start = ::GetTickCount();
                check(WSPRecvFrom(s, &buffer, 1, nullptr, &flags, reinterpret_cast<sockaddr*>(&from), &fromlen,
                                  &overlapped, SoakRoutine, (i & 1) != 0 ? &threadId : nullptr, &error) == 0);
                NoteCall(figures, start);
                // The completion runs here, at the thread's alertable wait.
                while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION)
                {
                }
                break;
            default: // event and result query
                overlapped.hEvent = event.Get();
                start = ::GetTickCount();
                check(WSPRecvFrom(s, &buffer, 1, nullptr, &flags, reinterpret_cast<sockaddr*>(&from), &fromlen,
                                  &overlapped, nullptr, nullptr, &error) == 0);
                NoteCall(figures, start);
                start = ::GetTickCount();
                check(WSPGetOverlappedResult(s, &overlapped, &cb, FALSE, &flags, &error) == TRUE);
                NoteCall(figures, start);
                ::ResetEvent(event.Get());
                break;
            }
            start = ::GetTickCount();
            check(WSPCloseSocket(s, &error) == kNextLayerResult);
            NoteCall(figures, start);
        }
    }
    while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION)
    {
    }
    ::CloseHandle(threadId.ThreadHandle);
}

struct SoakWorker
{
    int index;
    DWORD endAt;
    SoakFigures* figures;

    static DWORD WINAPI Run(void* parameter)
    {
        auto* worker = static_cast<SoakWorker*>(parameter);
        SoakThread(worker->index, worker->endAt, *worker->figures);
        return 0;
    }
};

// Switches the route server through its moods until told to stop.
struct Flapper
{
    std::atomic<bool> isDone{false};
    std::atomic<long> changes{0};

    static DWORD WINAPI Run(void* parameter)
    {
        static_cast<Flapper*>(parameter)->Flap();
        return 0;
    }

    void Flap()
    {
        RouteServer server;
        RouteReplyPlan yes;
        RouteReplyPlan no;
        no.value = 0;
        RouteReplyPlan silent;
        silent.kind = RouteReplyKind::Never;
        const RouteReplyPlan* plans[] = {&yes, &no, &silent, nullptr};
        for (int step = 0; !isDone; ++step, ++changes)
        {
            const RouteReplyPlan* plan = plans[step % 4];
            if (plan == nullptr)
            {
                server.Stop();
            }
            else if (step % 4 == 0)
            {
                (void)server.Start(kRoutePipeName, 4, *plan);
            }
            else
            {
                server.SetReply(*plan);
            }
            const int ticks = plan == &silent ? 40 : 7;
            for (int tick = 0; tick < ticks && !isDone; ++tick)
            {
                ::Sleep(100);
            }
        }
        server.Stop();
    }
};

// The cache's clock runs 2000 times faster in the soak: an entry goes stale
// after 60 ms, so the threads keep asking the flapping server.
DWORD FastTicks() noexcept
{
    return ::GetTickCount() * 2000;
}

TEST_F(ProviderUnderFaults, SoakWhileTheRouteServerFlaps)
{
    const DWORD seconds = SoakSeconds();
    SetRouteTickSource(FastTicks);
    const LONG recordsBefore = GetLiveRecvFromContextCount();
    const DWORD handlesBefore = CountOwnHandles();
    SoakFigures figures;
    const DWORD endAt = ::GetTickCount() + seconds * 1000;

    // yes, no, silent, absent, again and again: 700 ms each, but 4 s of
    // silence, longer than a route exchange may take. Win32 threads only:
    // the C++ library's threads keep an event and a handle of their own
    // after their first use, which the handle count would take for a leak.
    Flapper flapper;
    UniqueObject flapperThread(::CreateThread(nullptr, 0, Flapper::Run, &flapper, 0, nullptr));
    ASSERT_TRUE(flapperThread);

    std::vector<SoakWorker> workers(8);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 8; ++i)
    {
        workers[i] = {i, endAt, &figures};
        HANDLE thread = ::CreateThread(nullptr, 0, SoakWorker::Run, &workers[i], 0, nullptr);
        ASSERT_NE(nullptr, thread);
        threads.push_back(thread);
    }
    // Every call returns: the workers end by themselves once the time is up.
    const DWORD waited = ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                                  (seconds + 60) * 1000);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), waited) << "a call did not return";
    for (HANDLE thread : threads)
    {
        ::CloseHandle(thread);
    }
    flapper.isDone = true;
    ::WaitForSingleObject(flapperThread.Get(), INFINITE);
    flapperThread.Reset();
    SetRouteTickSource(nullptr);

    size_t pendingEntries = 0;
    {
        auto guard = PendingRecvFromLock.Lock();
        pendingEntries = PendingRecvFromTable.Size();
    }
    const DWORD handlesAfter = CountOwnHandles();
    std::printf("soak: %lu s, 8 threads x 50 sockets, %ld calls (%ld waited over 1 s for the server), longest %lu ms, "
                "%ld server changes; records left %ld, table entries %u, handles %lu before and %lu after\n",
                seconds, figures.calls.load(), figures.slowCalls.load(), figures.longestMs.load(), flapper.changes.load(),
                GetLiveRecvFromContextCount() - recordsBefore, static_cast<unsigned>(pendingEntries), handlesBefore,
                handlesAfter);
    EXPECT_EQ(0, figures.failures.load()) << "every call returned the next layer's result";
    EXPECT_GT(figures.calls.load(), 0);
    EXPECT_GT(figures.slowCalls.load(), 0) << "the silent server was met";
    EXPECT_LT(figures.longestMs.load(), kRouteExchangeDeadlineMs + kMarginMs);
    EXPECT_EQ(recordsBefore, GetLiveRecvFromContextCount());
    EXPECT_EQ(0, g_queuedCompletions.load());
    EXPECT_EQ(0u, pendingEntries);
    EXPECT_EQ(handlesBefore, handlesAfter);
}

} // namespace
