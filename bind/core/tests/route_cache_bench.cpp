// Prints what route preparation costs, in one run:
//   - a call of an empty function through a pointer (the floor),
//   - PrepareRouteForHostNetwork on a cache hit, alone and with 1, 2 and 8
//     threads sharing the calls for the same host,
//   - a miss with an in-process route server answering yes (one pipe
//     exchange), and SendRouteRequestToRouteServer alone.
// Runs against the real pipe name: start it while no other route server runs.
#include "bind/control/provider_state.h"
#include "bind/control/route_pipe.h"
#include "bind/core/route_cache.h"
#include "tests/support/route_test.h"
#include "tools/vpnclient/route_server.h"

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
// wall time of the whole run.
double HitWallNanoseconds(int threadCount, long calls, ULONG host)
{
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (int t = 0; t < threadCount; ++t)
    {
        threads.emplace_back([calls, threadCount, host] {
            for (long i = 0; i < calls / threadCount; ++i)
            {
                (void)PrepareRouteForHostNetwork(host);
            }
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

ULONG MissHost(long i)
{
    return Ipv4(10, static_cast<BYTE>(i >> 16), static_cast<BYTE>(i >> 8), static_cast<BYTE>(i));
}

} // namespace

int main()
{
    if (!RouteCacheLock.Initialize())
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
    constexpr long kMissCalls = 2000;
    const ULONG host = Ipv4(10, 1, 2, 3);
    (void)PrepareRouteForHostNetwork(host);

    double empty = NanosecondsPerCall(kHitCalls, [](long i) { (void)EmptyCall(static_cast<ULONG>(i)); });
    double hit = NanosecondsPerCall(kHitCalls, [host](long) { (void)PrepareRouteForHostNetwork(host); });
    std::printf("empty function call:               %8.1f ns\n", empty);
    std::printf("cache hit, 1 thread:                %8.1f ns  (%.1f x the empty call)\n", hit, hit / empty);
    for (int threads : {1, 2, 8})
    {
        double wall = HitWallNanoseconds(threads, kHitCalls, host);
        std::printf("cache hit, %d thread(s) on one host: %8.1f ns per call (wall / all calls), "
                    "%.1f ns per call of one thread\n",
                    threads, wall / kHitCalls, wall / (kHitCalls / threads));
    }

    double miss = NanosecondsPerCall(kMissCalls, [](long i) { (void)PrepareRouteForHostNetwork(MissHost(i + 1)); });
    double request =
        NanosecondsPerCall(kMissCalls, [](long i) { (void)SendRouteRequestToRouteServer(MissHost(i + 1)); });
    std::printf("cache miss, server says yes:        %8.1f us\n", miss / 1000);
    std::printf("pipe request alone:                 %8.1f us\n", request / 1000);
    std::printf("requests served: %zu\n", server.RequestCount());
    server.Stop();
    return 0;
}
