// Receive-from, overlapped result and close hooks against the recording next
// layer, which completes requests as a real provider does. Source addresses
// outside loopback only ever travel as bytes through that layer; routes are
// asked for on the stand-in's local pipe.
#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/caller_memory.h"
#include "bind/core/provider_tables.h"
#include "bind/core/recvfrom_tracking.h"
#include "bind/core/route_cache.h"
#include "bind/core/socket_hooks.h"
#include "bind/core/tests/recording_provider.h"
#include "common/win32_handle.h"
#include "tests/support/route_test.h"
#include "tests/support/test_support.h"
#include "tools/vpnclient/route_server.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace
{

const ULONG kVpnIp = Ipv4(127, 10, 0, 2);
const ULONG kSourceA = Ipv4(203, 0, 113, 5);
const ULONG kSourceB = Ipv4(192, 0, 2, 77);
const char kSourceAText[] = "203.0.113.5";
const char kSourceBText[] = "192.0.2.77";

sockaddr_in Source(ULONG host)
{
    return Ipv4Address(host, 5353);
}

template <typename T>
T Export(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The upcalls Winsock would hand over, opening real handles to the
// current thread so that the next layer can queue completions to them.
struct ThreadUpcalls
{
    int attempts = 0;
    int opens = 0;
    int closes = 0;
    int openError = 0;
    HANDLE opened = nullptr;
    HANDLE closed = nullptr;
};
ThreadUpcalls* g_threads = nullptr;

int WSPAPI FakeOpenCurrentThread(LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    ++g_threads->attempts;
    if (g_threads->openError != 0)
    {
        *lpErrno = g_threads->openError;
        return SOCKET_ERROR;
    }
    ++g_threads->opens;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &lpThreadId->ThreadHandle,
                      0, FALSE, DUPLICATE_SAME_ACCESS);
    lpThreadId->Reserved = 0;
    g_threads->opened = lpThreadId->ThreadHandle;
    return 0;
}

int WSPAPI FakeCloseThread(LPWSATHREADID lpThreadId, LPINT)
{
    ++g_threads->closes;
    g_threads->closed = lpThreadId->ThreadHandle;
    ::CloseHandle(lpThreadId->ThreadHandle);
    return 0;
}

// What the application's own completion routine saw.
struct CallerCompletion
{
    int calls = 0;
    DWORD error = 0;
    DWORD cbTransferred = 0;
    LPWSAOVERLAPPED lpOverlapped = nullptr;
    WSAOVERLAPPED fields{};
    size_t routeRequestsBefore = 0;
};
CallerCompletion* g_completion = nullptr;
RouteServer* g_server = nullptr;

DWORD* g_lastErrorInRoutine = nullptr;

void CALLBACK CallerRoutine(DWORD dwError, DWORD cbTransferred, LPWSAOVERLAPPED lpOverlapped, DWORD)
{
    if (g_lastErrorInRoutine != nullptr)
    {
        *g_lastErrorInRoutine = ::GetLastError();
    }
    ++g_completion->calls;
    g_completion->error = dwError;
    g_completion->cbTransferred = cbTransferred;
    g_completion->lpOverlapped = lpOverlapped;
    g_completion->fields = *lpOverlapped;
    g_completion->routeRequestsBefore = g_server->RequestCount();
}

void* FailingAllocator(size_t) noexcept
{
    return nullptr;
}

bool RefusePin() noexcept
{
    return false;
}

// Runs the APCs queued to this thread.
void RunQueuedCompletions()
{
    while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION)
    {
    }
}

// One overlapped receive-from as an application issues it.
struct Receive
{
    char data[64] = {};
    WSABUF buffer{sizeof(data), data};
    DWORD flags = 0;
    sockaddr_storage from{};
    int cbFrom = sizeof(sockaddr_in);
    WSAOVERLAPPED overlapped{};
    int error = 0;
};

class RecvFromHooksTest : public testing::Test
{
protected:
    void SetUp() override
    {
        HMODULE next = ::LoadLibraryW((GetTestBinFolder() + L"recording_provider.dll").c_str());
        ASSERT_NE(nullptr, next);
        m_reset = Export<RecordingResetFn>(next, "RecordingProviderReset");
        m_log = Export<RecordingCallLogFn>(next, "RecordingProviderCallLog");
        m_plan = Export<RecordingPlanRecvFromFn>(next, "RecordingProviderPlanRecvFrom");
        m_complete = Export<RecordingCompleteRecvFromFn>(next, "RecordingProviderCompleteRecvFrom");
        m_last = Export<RecordingLastRecvFromFn>(next, "RecordingProviderLastRecvFrom");
        auto startup = Export<LPWSPSTARTUP>(next, "WSPStartup");
        ASSERT_TRUE(m_reset && m_log && m_plan && m_complete && m_last && startup);
        m_reset(0, 0);
        WSPDATA data{};
        WSAPROTOCOL_INFOW info{};
        WSPUPCALLTABLE upcalls{};
        ASSERT_EQ(0, startup(MAKEWORD(2, 2), &data, &info, upcalls, &NextProcTable));
        SavedUpcallTable = {};
        SavedUpcallTable.lpWPUOpenCurrentThread = FakeOpenCurrentThread;
        SavedUpcallTable.lpWPUCloseThread = FakeCloseThread;
        g_threads = &m_threads;
        g_completion = &m_completion;
        g_server = &m_server;
        UseAsyncMode = 1;

        OpenGlobalControlBlock();
        ASSERT_NE(nullptr, ControlBlock);
        VpnBindStart(0, kVpnIp);
        ProcessCreateTime = (static_cast<ULONGLONG>(ControlBlock->StartTime.dwHighDateTime) << 32)
                            + ControlBlock->StartTime.dwLowDateTime + 1;

        ASSERT_TRUE(RouteCacheLock.Initialize());
        ASSERT_TRUE(PendingRecvFromLock.Initialize());
        ForgetRoutes();
        {
            auto guard = PendingRecvFromLock.Lock();
            PendingRecvFromTable.Clear();
        }
        ASSERT_TRUE(m_server.Start(kRoutePipeName, 2, RouteReplyPlan{}));
        RouteBackoff.End();
        ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                                      m_thread.Put(), 0, FALSE, DUPLICATE_SAME_ACCESS));
        m_threadId.ThreadHandle = m_thread.Get();
        m_liveBefore = GetLiveRecvFromContextCount();
        Plan(RecvFromPending, kSourceA);
    }

    void TearDown() override
    {
        RunQueuedCompletions();
        EXPECT_EQ(m_liveBefore, GetLiveRecvFromContextCount()) << "a record leaked";
        EXPECT_EQ(m_threads.opens, m_threads.closes) << "every opened thread is closed";
        SetRecvFromContextAllocator(nullptr);
        m_server.Stop();
        VpnBindStop();
        CloseGlobalControlBlock();
        ProcessCreateTime = 0;
        UseAsyncMode = 0;
        NextProcTable = {};
        SavedUpcallTable = {};
        g_threads = nullptr;
        g_completion = nullptr;
        g_server = nullptr;
    }

    void ForgetRoutes()
    {
        auto guard = RouteCacheLock.Lock();
        RouteCache.Clear();
    }

    void Plan(int outcome, ULONG source, int error = 0)
    {
        sockaddr_in address = Source(source);
        m_plan(outcome, error, reinterpret_cast<const BYTE*>(&address), sizeof(address), 42);
    }

    std::vector<std::string> RequestedHosts() const
    {
        std::vector<std::string> hosts;
        for (const std::string& request : m_server.Requests())
        {
            hosts.push_back(FormatRouteRequestHost(reinterpret_cast<const BYTE*>(request.data()),
                                                   static_cast<DWORD>(request.size())));
        }
        return hosts;
    }

    int RecvFrom(SOCKET s, Receive& r, LPWSAOVERLAPPED lpOverlapped,
                 LPWSAOVERLAPPED_COMPLETION_ROUTINE routine = nullptr, LPWSATHREADID threadId = nullptr,
                 bool withFrom = true)
    {
        return WSPRecvFrom(s, &r.buffer, 1, nullptr, &r.flags, withFrom ? reinterpret_cast<sockaddr*>(&r.from) : nullptr,
                           withFrom ? &r.cbFrom : nullptr, lpOverlapped, routine, threadId, &r.error);
    }

    // A blocking receive, or one with a completion routine that the next
    // layer completes and this thread then runs.
    void ReceiveToTheEnd(SOCKET s, Receive& r, bool withRoutine)
    {
        if (!withRoutine)
        {
            ASSERT_EQ(0, RecvFrom(s, r, nullptr));
            return;
        }
        m_completion = {};
        ASSERT_EQ(SOCKET_ERROR, RecvFrom(s, r, &r.overlapped, CallerRoutine, &m_threadId));
        ASSERT_TRUE(m_complete(0));
        RunQueuedCompletions();
        EXPECT_EQ(1, m_completion.calls);
    }

    BOOL QueryResult(SOCKET s, Receive& r)
    {
        DWORD cbTransfer = 0;
        DWORD flags = 0;
        return WSPGetOverlappedResult(s, &r.overlapped, &cbTransfer, FALSE, &flags, &r.error);
    }

    size_t PendingEntries()
    {
        auto guard = PendingRecvFromLock.Lock();
        return PendingRecvFromTable.Size();
    }

    RecordedRecvFrom LastRecvFrom()
    {
        RecordedRecvFrom recorded{};
        m_last(&recorded);
        return recorded;
    }

    std::string Log() { return m_log(); }

    RecordingResetFn m_reset = nullptr;
    RecordingCallLogFn m_log = nullptr;
    RecordingPlanRecvFromFn m_plan = nullptr;
    RecordingCompleteRecvFromFn m_complete = nullptr;
    RecordingLastRecvFromFn m_last = nullptr;
    ThreadUpcalls m_threads;
    CallerCompletion m_completion;
    RouteServer m_server;
    UniqueObject m_thread;
    WSATHREADID m_threadId{};
    LONG m_liveBefore = 0;
};

// Without tracking, and for every receive that is not overlapped, the route
// step follows only a receive that completed within the call.
TEST_F(RecvFromHooksTest, DirectPath)
{
    static const struct
    {
        const char* name;
        int asyncMode;
        bool isStarted;
        bool isOverlapped;
        bool withFrom;
        int outcome;
        std::vector<std::string> hosts;
        bool withRoutine = false;
    } cases[] = {
        {"switch off, blocking", 0, true, false, true, RecvFromAtOnce, {kSourceAText}},
        {"switch off, blocking without lpFrom", 0, true, false, false, RecvFromAtOnce, {}},
        {"switch on, blocking", 1, true, false, true, RecvFromAtOnce, {kSourceAText}},
        {"switch on, blocking without lpFrom", 1, true, false, false, RecvFromAtOnce, {}},
        {"switch off, overlapped completed at once", 0, true, true, true, RecvFromAtOnce, {kSourceAText}},
        {"switch off, overlapped pending", 0, true, true, true, RecvFromPending, {}},
        {"switch off, refused", 0, true, false, true, RecvFromRefused, {}},
        // Winsock takes this for a plain blocking receive and ignores the routine.
        {"switch on, routine without overlapped structure", 1, true, false, true, RecvFromAtOnce, {kSourceAText},
         true},
        {"binding stopped", 1, false, false, true, RecvFromAtOnce, {}}, // last: the binding stays stopped
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        UseAsyncMode = c.asyncMode;
        if (!c.isStarted)
        {
            VpnBindStop();
        }
        ForgetRoutes();
        m_server.ClearRequests();
        m_reset(0, 0);
        Plan(c.outcome, kSourceA, WSAENETDOWN);
        Receive r;
        UniqueObject event(::WSACreateEvent());
        r.overlapped.hEvent = event.Get();
        LPWSAOVERLAPPED overlapped = c.isOverlapped ? &r.overlapped : nullptr;

        const LPWSAOVERLAPPED_COMPLETION_ROUTINE routine = c.withRoutine ? CallerRoutine : nullptr;
        const int result = RecvFrom(30, r, overlapped, routine, c.withRoutine ? &m_threadId : nullptr, c.withFrom);
        EXPECT_EQ(c.outcome == RecvFromAtOnce ? 0 : SOCKET_ERROR, result);
        RecordedRecvFrom seen = LastRecvFrom();
        EXPECT_EQ(overlapped, seen.lpOverlapped) << "the caller's own structures go down";
        EXPECT_EQ(routine, seen.lpCompletionRoutine);
        EXPECT_EQ(c.withFrom ? reinterpret_cast<sockaddr*>(&r.from) : nullptr, seen.lpFrom);
        EXPECT_EQ(c.hosts, RequestedHosts());

        // A late completion leaves no trace either.
        if (m_complete(0))
        {
            EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.Get(), 0));
            EXPECT_TRUE(QueryResult(30, r));
            EXPECT_EQ(c.hosts, RequestedHosts());
        }
        EXPECT_EQ(0u, PendingEntries());
    }
}

TEST_F(RecvFromHooksTest, CompletionRoutineRunsOnceAfterTheRouteStep)
{
    static const struct
    {
        const char* name;
        DWORD error;
        DWORD cbTransferred;
    } cases[] = {
        {"received", 0, 42},
        {"aborted", WSA_OPERATION_ABORTED, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ForgetRoutes();
        m_server.ClearRequests();
        m_completion = {};
        Plan(RecvFromPending, kSourceB);
        Receive r;
        r.from.ss_family = AF_INET; // what the application left there before an abort
        UniqueObject event(::WSACreateEvent());
        r.overlapped.hEvent = event.Get();
        r.overlapped.Offset = 0x1111;
        r.overlapped.OffsetHigh = 0x2222;
        r.overlapped.Internal = 0xdeadbeef;

        ASSERT_EQ(SOCKET_ERROR, RecvFrom(31, r, &r.overlapped, CallerRoutine, &m_threadId));
        EXPECT_EQ(WSA_IO_PENDING, r.error);
        // Until the caller's routine is due, its structure says pending, and
        // so does a result query that does not wait.
        EXPECT_FALSE(HasOverlappedIoCompleted(&r.overlapped));
        EXPECT_FALSE(QueryResult(31, r));
        EXPECT_EQ(WSA_IO_INCOMPLETE, r.error);
        RecordedRecvFrom seen = LastRecvFrom();
        EXPECT_NE(&r.overlapped, seen.lpOverlapped) << "the provider's own structure goes down";
        EXPECT_EQ(0x1111u, seen.Offset);
        EXPECT_EQ(0x2222u, seen.OffsetHigh);
        EXPECT_NE(reinterpret_cast<LPWSAOVERLAPPED_COMPLETION_ROUTINE>(CallerRoutine), seen.lpCompletionRoutine);
        EXPECT_EQ(&m_threadId, seen.lpThreadId) << "the caller's thread id goes down";
        EXPECT_EQ(reinterpret_cast<sockaddr*>(&r.from), seen.lpFrom);
        EXPECT_EQ(0u, PendingEntries()) << "requests with a routine are not in the table";

        ASSERT_TRUE(m_complete(c.error));
        EXPECT_EQ(0, m_completion.calls) << "only at an alertable wait";
        EXPECT_FALSE(HasOverlappedIoCompleted(&r.overlapped)) << "done only when the caller's routine is due";
        RunQueuedCompletions();
        EXPECT_EQ(1, m_completion.calls);
        EXPECT_EQ(&r.overlapped, m_completion.lpOverlapped);
        EXPECT_EQ(c.error, m_completion.error);
        EXPECT_EQ(c.cbTransferred, m_completion.cbTransferred);
        EXPECT_EQ(c.error, m_completion.fields.Internal);
        EXPECT_EQ(c.cbTransferred, m_completion.fields.InternalHigh);
        EXPECT_EQ(0x1111u, m_completion.fields.Offset);
        EXPECT_EQ(0x2222u, m_completion.fields.OffsetHigh);
        EXPECT_EQ(event.Get(), r.overlapped.hEvent);
        EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(event.Get(), 0));
        if (c.error == 0)
        {
            EXPECT_EQ(1u, m_completion.routeRequestsBefore) << "the route step comes first";
            EXPECT_EQ(std::vector<std::string>{kSourceBText}, RequestedHosts());
        }
        EXPECT_EQ(m_liveBefore, GetLiveRecvFromContextCount());
    }
    EXPECT_EQ(0, m_threads.opens);
}

// Winsock always passes a thread id; a caller that does not gets the
// current thread opened for the request, handed down and closed after it.
TEST_F(RecvFromHooksTest, NullThreadIdOpensAndClosesTheThread)
{
    Receive r;
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(32, r, &r.overlapped, CallerRoutine, nullptr));
    EXPECT_EQ(1, m_threads.opens);
    RecordedRecvFrom seen = LastRecvFrom();
    ASSERT_NE(nullptr, seen.lpThreadId);
    EXPECT_EQ(m_threads.opened, seen.lpThreadId->ThreadHandle);
    EXPECT_EQ(0, m_threads.closes);

    ASSERT_TRUE(m_complete(0));
    RunQueuedCompletions();
    EXPECT_EQ(1, m_completion.calls);
    EXPECT_EQ(1, m_threads.closes) << "after the caller's routine";
    EXPECT_EQ(m_threads.opened, m_threads.closed);
}

// The routine is queued even when the receive completed within the call; the
// source was routed within the call, so its completion asks nothing more,
// whatever the server answered. The caller's structure shows the result.
TEST_F(RecvFromHooksTest, CompletedAtOnceWithRoutine)
{
    for (BYTE reply : {1, 0})
    {
        SCOPED_TRACE(reply != 0 ? "route prepared" : "route refused");
        RouteReplyPlan plan;
        plan.value = reply;
        m_server.SetReply(plan);
        m_server.ClearRequests();
        ForgetRoutes();
        m_completion = {};
        Plan(RecvFromAtOnce, kSourceA);
        Receive r;
        EXPECT_EQ(0, RecvFrom(33, r, &r.overlapped, CallerRoutine, &m_threadId));
        EXPECT_EQ(std::vector<std::string>{kSourceAText}, RequestedHosts());
        EXPECT_EQ(0u, r.overlapped.Internal);
        EXPECT_EQ(42u, r.overlapped.InternalHigh);
        EXPECT_EQ(m_liveBefore + 1, GetLiveRecvFromContextCount()) << "the record waits for its completion";
        RunQueuedCompletions();
        EXPECT_EQ(1, m_completion.calls);
        EXPECT_EQ(42u, m_completion.cbTransferred);
        EXPECT_EQ(1u, m_server.RequestCount());
    }
}

// A caller whose source buffer is shorter than the address field: the bytes
// behind its length belong to someone else and are never read, whether the
// receive completes at once or through the completion routine.
TEST_F(RecvFromHooksTest, ShortSourceIsNeverReadPastItsLength)
{
    UseAsyncMode = 1;
    for (bool withRoutine : {false, true})
    {
        SCOPED_TRACE(withRoutine ? "completion routine" : "blocking");
        ForgetRoutes();
        m_server.ClearRequests();
        Receive r;
        // What lies behind the caller's four bytes: an address that must not
        // be asked for.
        const sockaddr_in behind = Source(kSourceA);
        std::memcpy(&r.from, &behind, sizeof(behind));
        r.cbFrom = 4;
        const sockaddr_in source = Source(kSourceB);
        m_plan(withRoutine ? RecvFromPending : RecvFromAtOnce, 0, reinterpret_cast<const BYTE*>(&source), 4, 42);

        ReceiveToTheEnd(34, r, withRoutine);
        EXPECT_EQ(4, r.cbFrom);
        EXPECT_EQ(std::vector<std::string>{}, RequestedHosts());
    }
}

// Refused at once, the request never completes: its record and the thread
// opened for it are released within the call.
TEST_F(RecvFromHooksTest, RefusedRequestLeavesNothingBehind)
{
    for (LPWSATHREADID threadId : {&m_threadId, static_cast<LPWSATHREADID>(nullptr)})
    {
        SCOPED_TRACE(threadId != nullptr ? "caller's thread" : "opened thread");
        m_reset(0, 0);
        Plan(RecvFromRefused, kSourceA, WSAENETDOWN);
        Receive r;
        EXPECT_EQ(SOCKET_ERROR, RecvFrom(34, r, &r.overlapped, CallerRoutine, threadId));
        EXPECT_EQ(WSAENETDOWN, r.error);
        EXPECT_EQ("WSPRecvFrom", Log());
        EXPECT_EQ(m_liveBefore, GetLiveRecvFromContextCount());
        EXPECT_EQ(m_threads.opens, m_threads.closes);
    }
    EXPECT_EQ(1, m_threads.opens);
    RunQueuedCompletions();
    EXPECT_EQ(0, m_completion.calls);
    EXPECT_EQ(0u, m_server.RequestCount());
}

// Requests the provider cannot track are refused before they reach the next
// layer, and the application's memory is only ever read through a guard.
TEST_F(RecvFromHooksTest, UntrackableRequestsAreRefusedWithoutForwarding)
{
    void* reserved = ::VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(nullptr, reserved);
    void* freed = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(nullptr, freed);
    ASSERT_TRUE(::VirtualFree(freed, 0, MEM_RELEASE));

    Receive r;
    const struct
    {
        const char* name;
        LPWSAOVERLAPPED overlapped;
        bool failAllocation;
        int openError;
        LPWSATHREADID threadId;
        int error;
    } cases[] = {
        {"no memory for the record", &r.overlapped, true, 0, &m_threadId, WSAENOBUFS},
        {"overlapped structure in reserved memory", static_cast<LPWSAOVERLAPPED>(reserved), false, 0, &m_threadId,
         WSAEFAULT},
        {"overlapped structure in freed memory", static_cast<LPWSAOVERLAPPED>(freed), false, 0, nullptr, WSAEFAULT},
        {"thread cannot be opened", &r.overlapped, false, WSAEMFILE, nullptr, WSAEMFILE},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        m_reset(0, 0);
        SetRecvFromContextAllocator(c.failAllocation ? FailingAllocator : nullptr);
        m_threads.openError = c.openError;
        r.error = 0;
        EXPECT_EQ(SOCKET_ERROR, RecvFrom(35, r, c.overlapped, CallerRoutine, c.threadId));
        EXPECT_EQ(c.error, r.error);
        EXPECT_EQ("", Log());
        EXPECT_EQ(m_liveBefore, GetLiveRecvFromContextCount());
    }
    EXPECT_EQ(1, m_threads.attempts) << "a thread is opened only for a readable request";
    EXPECT_EQ(0, m_threads.opens);
    ::VirtualFree(reserved, 0, MEM_RELEASE);
}

// Event-based receives are remembered per socket and routed by the first
// successful result query.
TEST_F(RecvFromHooksTest, ResultQueryRoutesTheRecordedSourceOnce)
{
    Receive r;
    UniqueObject event(::WSACreateEvent());
    r.overlapped.hEvent = event.Get();
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(36, r, &r.overlapped));
    EXPECT_EQ(WSA_IO_PENDING, r.error);
    EXPECT_EQ(&r.overlapped, LastRecvFrom().lpOverlapped);
    EXPECT_EQ(1u, PendingEntries());

    EXPECT_FALSE(QueryResult(36, r)) << "still pending";
    EXPECT_EQ(WSA_IO_INCOMPLETE, r.error);
    EXPECT_EQ(1u, PendingEntries()) << "a failed query leaves the entry";

    ASSERT_TRUE(m_complete(0));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.Get(), 0));
    EXPECT_TRUE(QueryResult(36, r));
    EXPECT_EQ(std::vector<std::string>{kSourceAText}, RequestedHosts());
    EXPECT_EQ(0u, PendingEntries());

    ForgetRoutes();
    EXPECT_TRUE(QueryResult(36, r));
    EXPECT_EQ(1u, m_server.RequestCount()) << "the second query finds no entry";
}

TEST_F(RecvFromHooksTest, ResultQueryRoutesOnlyAReadableIpv4Source)
{
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    sockaddr_in foreign = Source(kSourceA);
    foreign.sin_family = AF_INET6;
    sockaddr_in v4 = Source(kSourceA);
    const struct
    {
        const char* name;
        const void* source;
        int cbSource;
        bool withFrom;
        bool unmapLength;
        size_t requests;
    } cases[] = {
        {"IPv4", &v4, sizeof(v4), true, false, 1},
        {"IPv6-sized source", &v6, sizeof(v6), true, false, 0},
        {"16 bytes of another family", &foreign, sizeof(foreign), true, false, 0},
        {"no lpFrom", &v4, sizeof(v4), false, false, 0},
        {"length gone by the time of the query", &v4, sizeof(v4), true, true, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ForgetRoutes();
        m_server.ClearRequests();
        m_plan(RecvFromPending, 0, static_cast<const BYTE*>(c.source), c.cbSource, 7);
        Receive r;
        r.cbFrom = sizeof(r.from);
        LPINT lpFromlen = &r.cbFrom;
        void* page = nullptr;
        if (c.unmapLength)
        {
            page = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            ASSERT_NE(nullptr, page);
            lpFromlen = static_cast<LPINT>(page);
            *lpFromlen = sizeof(r.from);
        }
        ASSERT_EQ(SOCKET_ERROR, WSPRecvFrom(37, &r.buffer, 1, nullptr, &r.flags,
                                            c.withFrom ? reinterpret_cast<sockaddr*>(&r.from) : nullptr,
                                            c.withFrom ? lpFromlen : nullptr, &r.overlapped, nullptr, nullptr,
                                            &r.error));
        ASSERT_TRUE(m_complete(0));
        if (page != nullptr)
        {
            ASSERT_TRUE(::VirtualFree(page, 0, MEM_RELEASE));
        }
        EXPECT_TRUE(QueryResult(37, r));
        EXPECT_EQ(c.requests, m_server.RequestCount());
        EXPECT_EQ(0u, PendingEntries()) << "consumed whether or not it was routed";
    }
}

// A UDP server keeps several receives outstanding on one socket: each result
// query routes the source of its own receive.
TEST_F(RecvFromHooksTest, EachReceiveOnASocketRoutesItsOwnSource)
{
    Receive first;
    Receive second;
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(38, first, &first.overlapped));
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(38, second, &second.overlapped));
    EXPECT_EQ(2u, PendingEntries());
    ASSERT_TRUE(m_complete(0)); // writes 203.0.113.5 into the first's buffer
    Plan(RecvFromPending, kSourceB);
    ASSERT_TRUE(m_complete(0)); // and 192.0.2.77 into the second's

    EXPECT_TRUE(QueryResult(38, second));
    EXPECT_TRUE(QueryResult(38, first));
    EXPECT_EQ((std::vector<std::string>{kSourceBText, kSourceAText}), RequestedHosts());
    EXPECT_EQ(0u, PendingEntries());
}

TEST_F(RecvFromHooksTest, CloseRemovesThePendingEntry)
{
    Receive r;
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(39, r, &r.overlapped));
    Receive other;
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(40, other, &other.overlapped));
    Receive second;
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(39, second, &second.overlapped));
    EXPECT_EQ(3u, PendingEntries());
    int error = 0;
    EXPECT_EQ(0, WSPCloseSocket(39, &error));
    EXPECT_EQ("WSPRecvFrom WSPRecvFrom WSPRecvFrom WSPCloseSocket", Log());
    EXPECT_EQ(1u, PendingEntries()) << "only the closed socket's entries go";

    // A result that still arrives for the closed socket routes nothing.
    ASSERT_TRUE(m_complete(0));
    EXPECT_TRUE(QueryResult(39, r));
    EXPECT_EQ(0u, m_server.RequestCount());

    // With the switch off, close leaves the table alone.
    UseAsyncMode = 0;
    EXPECT_EQ(0, WSPCloseSocket(40, &error));
    EXPECT_EQ(1u, PendingEntries());
}

// A lock that could not be created at load leaves event-based receives
// untracked: everything is forwarded, nothing crashes.
TEST_F(RecvFromHooksTest, WithoutTheLockEverythingPassesThrough)
{
    PendingRecvFromLock.Delete();
    Receive r;
    EXPECT_EQ(SOCKET_ERROR, RecvFrom(41, r, &r.overlapped));
    ASSERT_TRUE(m_complete(0));
    EXPECT_TRUE(QueryResult(41, r));
    int error = 0;
    EXPECT_EQ(0, WSPCloseSocket(41, &error));
    EXPECT_EQ("WSPRecvFrom WSPGetOverlappedResult WSPCloseSocket", Log());
    EXPECT_EQ(0u, m_server.RequestCount());
    EXPECT_EQ(0u, PendingRecvFromTable.Size());
}

// On NT a warning status still queues the completion of a request that the
// next layer refused at once: the record must wait for it. After a real
// refusal nothing follows and the record goes within the call.
TEST_F(RecvFromHooksTest, RecordWaitsForACompletionQueuedAfterAWarning)
{
    static const struct
    {
        const char* name;
        int outcome;
        int error;
        bool isQueued;
    } cases[] = {
        {"datagram cut to the buffer", RecvFromWarnedAndQueued, WSAEMSGSIZE, true},
        {"network down", RecvFromRefused, WSAENETDOWN, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        m_completion = {};
        Plan(c.outcome, kSourceA, c.error);
        Receive r;
        EXPECT_EQ(SOCKET_ERROR, RecvFrom(42, r, &r.overlapped, CallerRoutine, &m_threadId));
        EXPECT_EQ(c.error, r.error);
        EXPECT_EQ(m_liveBefore + (c.isQueued ? 1 : 0), GetLiveRecvFromContextCount());
        RunQueuedCompletions();
        EXPECT_EQ(c.isQueued ? 1 : 0, m_completion.calls);
        if (c.isQueued)
        {
            EXPECT_EQ(&r.overlapped, m_completion.lpOverlapped);
            EXPECT_EQ(static_cast<DWORD>(c.error), m_completion.error);
        }
        EXPECT_EQ(m_liveBefore, GetLiveRecvFromContextCount());
    }
}

// Only an IPv4 source is a host to route: the bytes of another family where
// sin_addr would lie are no address (here the flow label of an IPv6 source).
TEST_F(RecvFromHooksTest, SourcesOfOtherFamiliesAreNeverRouted)
{
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_flowinfo = kSourceB;
    for (bool withRoutine : {false, true})
    {
        SCOPED_TRACE(withRoutine ? "completion routine" : "blocking");
        m_server.ClearRequests();
        m_plan(withRoutine ? RecvFromPending : RecvFromAtOnce, 0, reinterpret_cast<const BYTE*>(&v6), sizeof(v6), 5);
        Receive r;
        r.cbFrom = sizeof(r.from);
        ReceiveToTheEnd(43, r, withRoutine);
        EXPECT_EQ(std::vector<std::string>{}, RequestedHosts());
    }
}

// A result query's route exchange does not hold up other threads: their
// receive-froms and closes go on while the route server takes its time.
TEST_F(RecvFromHooksTest, ResultQueryRoutesWithoutHoldingTheTable)
{
    Receive r;
    ASSERT_EQ(SOCKET_ERROR, RecvFrom(44, r, &r.overlapped));
    ASSERT_TRUE(m_complete(0));
    m_server.HoldReplies();
    std::thread query([&] { EXPECT_TRUE(QueryResult(44, r)); });
    ASSERT_TRUE(m_server.WaitForRequests(1, 5000));

    const DWORD start = ::GetTickCount();
    int error = 0;
    EXPECT_EQ(0, WSPCloseSocket(45, &error));
    Receive other;
    EXPECT_EQ(SOCKET_ERROR, RecvFrom(46, other, &other.overlapped));
    const DWORD elapsedMs = ::GetTickCount() - start;
    m_server.ReleaseReplies();
    query.join();
    EXPECT_LT(elapsedMs, 500u) << "waited for the other thread's route exchange";
    ASSERT_TRUE(m_complete(0));
}

// The provider's steps around a receive-from leave the thread's last error
// as the application left it for the next layer, and as the next layer left
// it for the application. The route server is gone: every route step fails.
TEST_F(RecvFromHooksTest, LastErrorIsTheApplicationsThenTheNextLayers)
{
    m_server.Stop();
    auto next = ::GetModuleHandleW(L"recording_provider.dll");
    auto seenError = Export<RecordingLastErrorSeenFn>(next, "RecordingProviderLastErrorSeen");
    auto leaveError = Export<RecordingLeaveLastErrorFn>(next, "RecordingProviderLeaveLastError");
    ASSERT_TRUE(seenError && leaveError);
    Receive r;
    UniqueObject event(::WSACreateEvent());
    r.overlapped.hEvent = event.Get();
    const struct
    {
        const char* name;
        int outcome;
        std::function<void()> call;
    } cases[] = {
        {"blocking", RecvFromAtOnce, [&] { RecvFrom(47, r, nullptr); }},
        {"with routine", RecvFromAtOnce, [&] { RecvFrom(47, r, &r.overlapped, CallerRoutine, &m_threadId); }},
        {"with routine, without our thread id", RecvFromAtOnce, [&] { RecvFrom(47, r, &r.overlapped, CallerRoutine); }},
        {"with routine, library not pinned", RecvFromAtOnce,
         [&] {
             SetProviderModulePinner(RefusePin);
             RecvFrom(47, r, &r.overlapped, CallerRoutine, &m_threadId);
             SetProviderModulePinner(nullptr);
         }},
        {"event-based", RecvFromAtOnce, [&] { RecvFrom(47, r, &r.overlapped); }},
        {"result query", RecvFromAtOnce, [&] { QueryResult(47, r); }},
        {"close", RecvFromAtOnce, [&] { int error = 0; WSPCloseSocket(47, &error); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (bool isNextLeaving : {false, true})
        {
            SCOPED_TRACE(isNextLeaving ? "next layer sets its own" : "next layer leaves it");
            m_reset(0, 0);
            Plan(c.outcome, kSourceA);
            leaveError(isNextLeaving, 0x1234);
            ::SetLastError(0xDEADBEEF);
            c.call();
            EXPECT_EQ(0xDEADBEEFu, seenError());
            EXPECT_EQ(isNextLeaving ? 0x1234u : 0xDEADBEEFu, ::GetLastError());
        }
    }
    // The completion routine finds the value its thread had at the wait.
    m_completion = {};
    DWORD seenByRoutine = 0;
    g_lastErrorInRoutine = &seenByRoutine;
    ::SetLastError(0xFEEDF00D);
    RunQueuedCompletions();
    g_lastErrorInRoutine = nullptr;
    EXPECT_EQ(6, m_completion.calls) << "three cases with a routine, twice each";
    EXPECT_EQ(0xFEEDF00Du, seenByRoutine);
}

TEST(ReadCallerMemory, ReadsOnlyWhatIsMapped)
{
    BYTE* pages = static_cast<BYTE*>(::VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(nullptr, pages);
    ASSERT_NE(nullptr, ::VirtualAlloc(pages, 4096, MEM_COMMIT, PAGE_READWRITE));
    std::memset(pages, 0x5A, 4096);
    BYTE* guarded = static_cast<BYTE*>(::VirtualAlloc(pages + 8192, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD));
    ASSERT_NE(nullptr, guarded);

    BYTE copy[16] = {};
    EXPECT_TRUE(ReadCallerMemory(copy, pages + 4096 - sizeof(copy), sizeof(copy)));
    EXPECT_EQ(0x5A, copy[15]);
    EXPECT_FALSE(ReadCallerMemory(copy, pages + 4096 - 8, sizeof(copy))) << "runs into a reserved page";
    EXPECT_FALSE(ReadCallerMemory(copy, pages + 4096, sizeof(copy)));
    EXPECT_FALSE(ReadCallerMemory(copy, guarded, sizeof(copy)));
    EXPECT_FALSE(ReadCallerMemory(copy, nullptr, sizeof(copy)));
    ::VirtualFree(pages, 0, MEM_RELEASE);
}

} // namespace
