// Prints what route preparation costs, in one run:
//   - a call of an empty function through a pointer (the floor),
//   - PrepareRouteForHostNetwork on a cache hit, alone and with 1, 2 and 8
//     threads sharing the calls for the same host,
//   - a miss with an in-process route server answering yes (one pipe
//     exchange), and SendRouteRequestToRouteServer alone,
//   - WSPSend and WSPConnect of an intercepted process against the same
//     calls passed through, with the next layer doing real loopback I/O
//     (loopback peers need no route: this is the hooks' own cost, the
//     peer lookup included; a cache hit as above comes on top for others),
//   - WSPRecvFrom of an intercepted process against the same receive passed
//     through, on real loopback datagrams: blocking, overlapped with an event
//     and a result query, and overlapped with a completion routine,
//   - the provider's WSASendMsg and ConnectEx against the next layer's own,
//     on loopback, and another ioctl through WSPIoctl against it passed on.
// Runs against the real pipe name: start it while no other route server runs.
#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/caller_memory.h"
#include "bind/core/extension_functions.h"
#include "bind/core/provider_tables.h"
#include "bind/core/recvfrom_tracking.h"
#include "bind/core/socket_hooks.h"
#include "bind/control/route_pipe.h"
#include "bind/core/route_cache.h"
#include "tests/support/route_test.h"
#include "tools/vpnclient/route_server.h"

#include <mswsock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

__attribute__((noinline)) bool EmptyFunction(ULONG) noexcept
{
    return true;
}

bool (*volatile EmptyCall)(ULONG) noexcept = EmptyFunction;

template <typename Body>
double NanosecondsPerCall(long calls, Body body)
{
    auto start = Clock::now();
    for (long i = 0; i < calls; ++i)
    {
        body(i);
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / calls;
}

// The threads share `calls` cache hits for one host; the result is the
// wall time from the moment all of them are released until the last one is
// done (starting the threads is not counted).
double HitWallNanoseconds(int threadCount, long calls, ULONG host)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<Clock::time_point> ends(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
    {
        threads.emplace_back([&, t] {
            ++ready;
            while (!go.load(std::memory_order_acquire))
            {
                std::this_thread::yield();
            }
            for (long i = 0; i < calls / threadCount; ++i)
            {
                (void)PrepareRouteForHostNetwork(host);
            }
            ends[t] = Clock::now();
        });
    }
    while (ready.load() < threadCount)
    {
        std::this_thread::yield();
    }
    const auto start = Clock::now();
    go.store(true, std::memory_order_release);
    for (auto& thread : threads)
    {
        thread.join();
    }
    return std::chrono::duration<double, std::nano>(*std::max_element(ends.begin(), ends.end()) - start).count();
}

ULONG MissHost(long i)
{
    return Ipv4(10, static_cast<BYTE>(i >> 16), static_cast<BYTE>(i >> 8), static_cast<BYTE>(i));
}

int WSPAPI RealSend(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, LPWSAOVERLAPPED overlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, LPWSATHREADID, LPINT lpErrno)
{
    int result = ::WSASend(s, buffers, count, sent, flags, overlapped, routine);
    if (result == SOCKET_ERROR)
    {
        *lpErrno = ::WSAGetLastError();
    }
    return result;
}

int WSPAPI RealConnect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPINT lpErrno)
{
    int result = ::connect(s, name, namelen);
    if (result == SOCKET_ERROR)
    {
        *lpErrno = ::WSAGetLastError();
    }
    return result;
}

// An intercepted process (binding started, created before it) with a
// receiver bound to 127.0.0.1 and a sender connected to it.
struct LoopbackDatagrams
{
    LoopbackDatagrams()
    {
        WSADATA wsa;
        ::WSAStartup(MAKEWORD(2, 2), &wsa);
        OpenGlobalControlBlock();
        VpnBindStart(0, Ipv4(127, 0, 0, 2));
        ProcessCreateTime = ~0ULL;

        receiver = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = Ipv4(127, 0, 0, 1);
        ::bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        int cb = sizeof(to);
        ::getsockname(receiver, reinterpret_cast<sockaddr*>(&to), &cb);
        int receiveBuffer = 8 << 20;
        ::setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&receiveBuffer),
                     sizeof(receiveBuffer));
        sender = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        ::connect(sender, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    ~LoopbackDatagrams()
    {
        ::closesocket(sender);
        ::closesocket(receiver);
        VpnBindStop();
        CloseGlobalControlBlock();
        ::WSACleanup();
    }

    SOCKET receiver = INVALID_SOCKET;
    SOCKET sender = INVALID_SOCKET;
    sockaddr_in to{};
};

void MeasureHooksOnLoopback()
{
    NextProcTable.lpWSPSend = RealSend;
    NextProcTable.lpWSPConnect = RealConnect;
    LoopbackDatagrams loopback;
    const SOCKET receiver = loopback.receiver;
    const SOCKET sender = loopback.sender;
    const sockaddr_in to = loopback.to;

    char payload[32] = {};
    WSABUF buffer{sizeof(payload), payload};
    DWORD sent = 0;
    int error = 0;
    constexpr long kSends = 20000;
    auto drain = [&] {
        u_long nonBlocking = 1;
        ::ioctlsocket(receiver, FIONBIO, &nonBlocking);
        char sink[64];
        while (::recv(receiver, sink, sizeof(sink), 0) > 0)
        {
        }
    };
    double direct = NanosecondsPerCall(kSends, [&](long) {
        NextProcTable.lpWSPSend(sender, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
    });
    drain();
    double hooked = NanosecondsPerCall(kSends, [&](long) {
        WSPSend(sender, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
    });
    drain();
    std::printf("send, real loopback datagram:       passed through %.1f us, intercepted %.1f us (%.2f x)\n",
                direct / 1000, hooked / 1000, hooked / direct);

    sockaddr_in other = to;
    other.sin_addr.s_addr = Ipv4(127, 0, 0, 2);
    constexpr long kConnects = 5000;
    double connectDirect = NanosecondsPerCall(kConnects, [&](long) {
        NextProcTable.lpWSPConnect(sender, reinterpret_cast<sockaddr*>(&other), sizeof(other), nullptr, nullptr,
                                   nullptr, nullptr, &error);
    });
    double connectHooked = NanosecondsPerCall(kConnects, [&](long) {
        WSPConnect(sender, reinterpret_cast<sockaddr*>(&other), sizeof(other), nullptr, nullptr, nullptr, nullptr,
                   &error);
    });
    std::printf("connect, datagram socket:           passed through %.1f us, intercepted %.1f us (%.2f x)\n",
                connectDirect / 1000, connectHooked / 1000, connectHooked / connectDirect);
}

int WSPAPI RealRecvFrom(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, sockaddr* from,
                        LPINT fromlen, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine,
                        LPWSATHREADID, LPINT lpErrno)
{
    int result = ::WSARecvFrom(s, buffers, count, received, flags, from, fromlen, overlapped, routine);
    if (result == SOCKET_ERROR)
    {
        *lpErrno = ::WSAGetLastError();
    }
    return result;
}

BOOL WSPAPI RealGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED overlapped, LPDWORD transferred, BOOL wait,
                                    LPDWORD flags, LPINT lpErrno)
{
    BOOL result = ::WSAGetOverlappedResult(s, overlapped, transferred, wait, flags);
    if (!result)
    {
        *lpErrno = ::WSAGetLastError();
    }
    return result;
}

int g_completions = 0;

void CALLBACK CountCompletion(DWORD, DWORD, LPWSAOVERLAPPED, DWORD)
{
    ++g_completions;
}

// Each round sends one datagram to the receiver over loopback and receives
// it, through the next layer alone and then through the hooks.
void MeasureRecvFromOnLoopback()
{
    NextProcTable.lpWSPRecvFrom = RealRecvFrom;
    NextProcTable.lpWSPGetOverlappedResult = RealGetOverlappedResult;
    LoopbackDatagrams loopback;
    const SOCKET receiver = loopback.receiver;
    const SOCKET sender = loopback.sender;

    char payload[32] = {};
    char data[64];
    WSABUF buffer{sizeof(data), data};
    DWORD received = 0;
    DWORD flags = 0;
    sockaddr_in from{};
    int cbFrom = sizeof(from);
    int error = 0;
    WSATHREADID thread{::GetCurrentThread(), 0};
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = ::WSACreateEvent();
    constexpr long kRounds = 10000;

    auto blocking = [&](LPWSPRECVFROM recvFrom) {
        return NanosecondsPerCall(kRounds, [&](long) {
            ::send(sender, payload, sizeof(payload), 0);
            flags = 0;
            cbFrom = sizeof(from);
            recvFrom(receiver, &buffer, 1, &received, &flags, reinterpret_cast<sockaddr*>(&from), &cbFrom, nullptr,
                     nullptr, &thread, &error);
        });
    };
    auto withEvent = [&](LPWSPRECVFROM recvFrom, LPWSPGETOVERLAPPEDRESULT result) {
        return NanosecondsPerCall(kRounds, [&](long) {
            ::send(sender, payload, sizeof(payload), 0);
            flags = 0;
            cbFrom = sizeof(from);
            ::WSAResetEvent(overlapped.hEvent);
            recvFrom(receiver, &buffer, 1, &received, &flags, reinterpret_cast<sockaddr*>(&from), &cbFrom,
                     &overlapped, nullptr, &thread, &error);
            result(receiver, &overlapped, &received, TRUE, &flags, &error);
        });
    };
    auto withRoutine = [&](LPWSPRECVFROM recvFrom) {
        return NanosecondsPerCall(kRounds, [&](long) {
            ::send(sender, payload, sizeof(payload), 0);
            flags = 0;
            cbFrom = sizeof(from);
            const int before = g_completions;
            recvFrom(receiver, &buffer, 1, &received, &flags, reinterpret_cast<sockaddr*>(&from), &cbFrom,
                     &overlapped, CountCompletion, &thread, &error);
            while (g_completions == before)
            {
                ::SleepEx(INFINITE, TRUE);
            }
        });
    };

    UseAsyncMode = 0;
    double direct = blocking(NextProcTable.lpWSPRecvFrom);
    double hooked = blocking(WSPRecvFrom);
    std::printf("receive-from, blocking:             passed through %.1f us, intercepted %.1f us (%.2f x)\n",
                direct / 1000, hooked / 1000, hooked / direct);
    UseAsyncMode = 1;
    direct = withEvent(NextProcTable.lpWSPRecvFrom, NextProcTable.lpWSPGetOverlappedResult);
    hooked = withEvent(WSPRecvFrom, WSPGetOverlappedResult);
    std::printf("receive-from, event + result query: passed through %.1f us, intercepted %.1f us (%.2f x)\n",
                direct / 1000, hooked / 1000, hooked / direct);
    direct = withRoutine(NextProcTable.lpWSPRecvFrom);
    hooked = withRoutine(WSPRecvFrom);
    std::printf("receive-from, completion routine:   passed through %.1f us, intercepted %.1f us (%.2f x); "
                "records left: %ld\n",
                direct / 1000, hooked / 1000, hooked / direct, GetLiveRecvFromContextCount());

    // The guarded read of the application's memory that the overlapped paths
    // pay once or twice per receive.
    sockaddr_in copy{};
    double guarded = NanosecondsPerCall(kRounds, [&](long) { (void)ReadCallerMemory(&copy, &from, sizeof(copy)); });
    std::printf("guarded read of 16 caller bytes:    %.2f us\n", guarded / 1000);

    ::WSACloseEvent(overlapped.hEvent);
}

int WSPAPI RealIoctl(SOCKET s, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD cbReturned,
                     LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, LPWSATHREADID, LPINT lpErrno)
{
    int result = ::WSAIoctl(s, code, in, cbIn, out, cbOut, cbReturned, overlapped, routine);
    if (result == SOCKET_ERROR)
    {
        *lpErrno = ::WSAGetLastError();
    }
    return result;
}

// Looked up as a program does, through the next layer or through ours.
template <typename Fn>
Fn LookUp(LPWSPIOCTL ioctl, SOCKET s, GUID id)
{
    Fn function = nullptr;
    DWORD cb = 0;
    int error = 0;
    ioctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof(id), &function, sizeof(function), &cb, nullptr, nullptr,
          nullptr, &error);
    return function;
}

void MeasureExtensionsOnLoopback()
{
    NextProcTable.lpWSPIoctl = RealIoctl;
    LoopbackDatagrams loopback;
    sockaddr_in to = loopback.to;
    const GUID sendMsgId = {0xa441e712, 0x754f, 0x43ca, {0x84, 0xa7, 0x0d, 0xee, 0x44, 0xcf, 0x60, 0x6d}};
    const SOCKET sender = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    char payload[32] = {};
    WSABUF buffer{sizeof(payload), payload};
    WSAMSG msg{reinterpret_cast<sockaddr*>(&to), sizeof(to), &buffer, 1, {0, nullptr}, 0};
    DWORD sent = 0;
    constexpr long kSends = 20000;
    auto nextSendMsg = LookUp<WSASendMsgFn>(RealIoctl, sender, sendMsgId);
    auto ourSendMsg = LookUp<WSASendMsgFn>(WSPIoctl, sender, sendMsgId);
    double direct = NanosecondsPerCall(kSends, [&](long) { nextSendMsg(sender, &msg, 0, &sent, nullptr, nullptr); });
    double hooked = NanosecondsPerCall(kSends, [&](long) { ourSendMsg(sender, &msg, 0, &sent, nullptr, nullptr); });
    std::printf("WSASendMsg, loopback datagram:      next layer's %.1f us, the provider's %.1f us (%.2f x)\n",
                direct / 1000, hooked / 1000, hooked / direct);

    DWORD available = 0;
    DWORD cb = 0;
    int error = 0;
    constexpr long kIoctls = 200000;
    double ioctlDirect = NanosecondsPerCall(kIoctls, [&](long) {
        RealIoctl(sender, FIONREAD, nullptr, 0, &available, sizeof(available), &cb, nullptr, nullptr, nullptr, &error);
    });
    double ioctlHooked = NanosecondsPerCall(kIoctls, [&](long) {
        WSPIoctl(sender, FIONREAD, nullptr, 0, &available, sizeof(available), &cb, nullptr, nullptr, nullptr, &error);
    });
    std::printf("another ioctl (FIONREAD):           passed on %.2f us, through WSPIoctl %.2f us (%.2f x)\n",
                ioctlDirect / 1000, ioctlHooked / 1000, ioctlHooked / ioctlDirect);
    ::closesocket(sender);

    // A whole connection each time: socket, bind, ConnectEx, accept, close.
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in server = Ipv4Address(Ipv4(127, 0, 0, 1), 0);
    int cbServer = sizeof(server);
    ::bind(listener, reinterpret_cast<sockaddr*>(&server), sizeof(server));
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&server), &cbServer);
    ::listen(listener, SOMAXCONN);
    const GUID connectExId = WSAID_CONNECTEX;
    auto connectOnce = [&](LPWSPIOCTL ioctl) {
        const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        sockaddr_in any = Ipv4Address(INADDR_ANY, 0);
        ::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof(any));
        WSAOVERLAPPED overlapped{};
        DWORD flags = 0;
        if (!LookUp<ConnectExFn>(ioctl, s, connectExId)(s, reinterpret_cast<sockaddr*>(&server), sizeof(server),
                                                          nullptr, 0, nullptr, &overlapped))
        {
            ::WSAGetOverlappedResult(s, &overlapped, &cb, TRUE, &flags);
        }
        ::closesocket(::accept(listener, nullptr, nullptr));
        ::closesocket(s);
    };
    constexpr long kConnects = 2000;
    double connectDirect = NanosecondsPerCall(kConnects, [&](long) { connectOnce(RealIoctl); });
    double connectHooked = NanosecondsPerCall(kConnects, [&](long) { connectOnce(WSPIoctl); });
    std::printf("ConnectEx, loopback, whole connection: next layer's %.1f us, the provider's %.1f us (%.2f x)\n",
                connectDirect / 1000, connectHooked / 1000, connectHooked / connectDirect);
    ::closesocket(listener);
}

} // namespace

int main()
{
    if (!RouteCacheLock.Initialize() || !PendingRecvFromLock.Initialize() || !ExtensionFunctionLock.Initialize())
    {
        return 1;
    }
    RouteServer server;
    RouteReplyPlan yes;
    if (!server.Start(kRoutePipeName, 4, yes))
    {
        std::fprintf(stderr, "cannot serve the route pipe: is another server running?\n");
        return 1;
    }

    constexpr long kHitCalls = 2000000;
    constexpr long kThreadHitCalls = 40000000;
    constexpr long kMissCalls = 2000;
    const ULONG host = Ipv4(10, 1, 2, 3);
    (void)PrepareRouteForHostNetwork(host);

    double empty = NanosecondsPerCall(kHitCalls, [](long i) { (void)EmptyCall(static_cast<ULONG>(i)); });
    double hit = NanosecondsPerCall(kHitCalls, [host](long) { (void)PrepareRouteForHostNetwork(host); });
    std::printf("empty function call:               %8.1f ns\n", empty);
    std::printf("cache hit, 1 thread:                %8.1f ns  (%.1f x the empty call)\n", hit, hit / empty);
    for (int threads : {1, 2, 8})
    {
        double wall = HitWallNanoseconds(threads, kThreadHitCalls, host);
        std::printf("cache hit, %d thread(s) on one host: %8.1f ns per call (wall / all calls), "
                    "%.1f ns per call of one thread\n",
                    threads, wall / kThreadHitCalls, wall / (kThreadHitCalls / threads));
    }

    double miss = NanosecondsPerCall(kMissCalls, [](long i) { (void)PrepareRouteForHostNetwork(MissHost(i + 1)); });
    double request =
        NanosecondsPerCall(kMissCalls, [](long i) { (void)SendRouteRequestToRouteServer(MissHost(i + 1)); });
    std::printf("cache miss, server says yes:        %8.1f us\n", miss / 1000);
    std::printf("pipe request alone:                 %8.1f us\n", request / 1000);
    std::printf("requests served: %zu\n", server.RequestCount());
    server.Stop();
    MeasureHooksOnLoopback();
    MeasureRecvFromOnLoopback();
    MeasureExtensionsOnLoopback();
    return 0;
}
