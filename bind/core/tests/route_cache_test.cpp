#include "bind/control/provider_state.h"
#include "bind/core/route_cache.h"
#include "tests/support/route_test.h"
#include "tools/vpnclient/route_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

std::atomic<DWORD> FakeNow{0};

DWORD FakeTick() noexcept
{
    return FakeNow.load();
}

RouteReplyPlan Reply(BYTE value)
{
    RouteReplyPlan plan;
    plan.value = value;
    return plan;
}

size_t CacheSize()
{
    auto guard = RouteCacheLock.Lock();
    return RouteCache.Size();
}

bool IsCachedFresh(ULONG host)
{
    auto guard = RouteCacheLock.Lock();
    return RouteCache.IsFresh(host, FakeTick());
}

// The process's route cache on a fake clock, with a route server that says
// yes on the real pipe.
class RouteCacheTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RouteCacheLock.Initialize());
        {
            auto guard = RouteCacheLock.Lock();
            RouteCache.Clear();
        }
        FakeNow = 1000;
        SetRouteTickSource(FakeTick);
        ASSERT_TRUE(m_server.Start(kRoutePipeName, 4, Reply(1)));
    }

    void TearDown() override
    {
        m_server.Stop();
        SetRouteTickSource(nullptr);
    }

    RouteServer m_server;
};

TEST_F(RouteCacheTest, NeverAsksForLoopbackOrUnspecifiedHosts)
{
    static const ULONG hosts[] = {Ipv4(127, 0, 0, 1), Ipv4(127, 5, 6, 7), Ipv4(127, 255, 255, 255), Ipv4(0, 0, 0, 0)};
    m_server.SetReply(Reply(0));
    for (ULONG host : hosts)
    {
        SCOPED_TRACE(testing::Message() << std::hex << host);
        EXPECT_TRUE(PrepareRouteForHostNetwork(host));
    }
    EXPECT_EQ(0u, m_server.RequestCount());
    EXPECT_EQ(0u, CacheSize());
}

// First octet 127 only: 1.0.0.127 (the same bytes the other way round) and
// 128.0.0.1 are asked for.
TEST_F(RouteCacheTest, AsksForHostsThatOnlyLookLikeLoopback)
{
    EXPECT_TRUE(PrepareRouteForHostNetwork(Ipv4(1, 0, 0, 127)));
    EXPECT_TRUE(PrepareRouteForHostNetwork(Ipv4(128, 0, 0, 1)));
    EXPECT_EQ(2u, m_server.RequestCount());
}

TEST_F(RouteCacheTest, LifetimeBoundariesAcrossTheCounterWrap)
{
    static const struct
    {
        const char* name;
        DWORD start;
    } starts[] = {
        {"no wrap", 1000},
        {"wrap inside the lifetime", 0xFFFFFFFFu - 60000},
        {"wrap right after the request", 0xFFFFFFFFu},
    };
    static const struct
    {
        DWORD sinceStart;
        bool shouldAsk;
    } steps[] = {
        {0, true}, {1, false}, {119999, false}, {120000, false}, {120001, true}, {240001, false}, {240002, true},
    };
    const ULONG host = Ipv4(10, 1, 2, 3);
    for (const auto& start : starts)
    {
        SCOPED_TRACE(start.name);
        {
            auto guard = RouteCacheLock.Lock();
            RouteCache.Clear();
        }
        for (const auto& step : steps)
        {
            SCOPED_TRACE(testing::Message() << "after " << step.sinceStart << " ms");
            FakeNow = start.start + step.sinceStart;
            m_server.ClearRequests();
            EXPECT_TRUE(PrepareRouteForHostNetwork(host));
            EXPECT_EQ(step.shouldAsk ? 1u : 0u, m_server.RequestCount());
        }
    }
}

TEST_F(RouteCacheTest, RefusalRemovesTheEntryAndIsNotRemembered)
{
    const ULONG host = Ipv4(10, 1, 2, 3);
    EXPECT_TRUE(PrepareRouteForHostNetwork(host));
    EXPECT_TRUE(IsCachedFresh(host));

    FakeNow = FakeNow + kRouteCacheLifetimeMs + 1;
    m_server.SetReply(Reply(0));
    EXPECT_FALSE(PrepareRouteForHostNetwork(host));
    EXPECT_EQ(0u, CacheSize());
    EXPECT_FALSE(PrepareRouteForHostNetwork(host));
    EXPECT_EQ(3u, m_server.RequestCount());

    m_server.SetReply(Reply(1));
    EXPECT_TRUE(PrepareRouteForHostNetwork(host));
    EXPECT_TRUE(PrepareRouteForHostNetwork(host));
    EXPECT_EQ(4u, m_server.RequestCount());
}

TEST_F(RouteCacheTest, UnreachableServerIsAskedAtEveryCall)
{
    m_server.Stop();
    const ULONG host = Ipv4(10, 1, 2, 3);
    EXPECT_FALSE(PrepareRouteForHostNetwork(host));
    EXPECT_FALSE(PrepareRouteForHostNetwork(host));
    EXPECT_EQ(0u, CacheSize());

    ASSERT_TRUE(m_server.Start(kRoutePipeName, 1, Reply(1)));
    EXPECT_TRUE(PrepareRouteForHostNetwork(host));
    EXPECT_EQ(1u, m_server.RequestCount());
}

TEST_F(RouteCacheTest, WithoutItsLockTheCacheAsksEveryTime)
{
    RouteCacheLock.Delete();
    const ULONG host = Ipv4(10, 1, 2, 3);
    EXPECT_TRUE(PrepareRouteForHostNetwork(host));
    EXPECT_TRUE(PrepareRouteForHostNetwork(host));
    EXPECT_EQ(2u, m_server.RequestCount());
    ASSERT_TRUE(RouteCacheLock.Initialize());
    EXPECT_EQ(0u, CacheSize());
}

// Threads share some hosts and have some of their own; the clock stands
// still, so every confirmed host must end up cached exactly once.
TEST_F(RouteCacheTest, ManyThreadsLoseNoEntry)
{
    constexpr int kThreads = 8;
    constexpr int kSharedHosts = 8;
    constexpr int kOwnHosts = 16;
    constexpr int kRounds = 20;
    std::atomic<int> refusals{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([t, &refusals] {
            for (int round = 0; round < kRounds; ++round)
            {
                for (int h = 0; h < kSharedHosts; ++h)
                {
                    refusals += PrepareRouteForHostNetwork(Ipv4(10, 0, 0, static_cast<BYTE>(h + 1))) ? 0 : 1;
                }
                for (int h = 0; h < kOwnHosts; ++h)
                {
                    refusals +=
                        PrepareRouteForHostNetwork(Ipv4(10, static_cast<BYTE>(t + 1), 0, static_cast<BYTE>(h + 1))) ? 0
                                                                                                                     : 1;
                }
            }
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(0, refusals.load());
    EXPECT_EQ(static_cast<size_t>(kSharedHosts + kThreads * kOwnHosts), CacheSize());
    for (int h = 0; h < kSharedHosts; ++h)
    {
        EXPECT_TRUE(IsCachedFresh(Ipv4(10, 0, 0, static_cast<BYTE>(h + 1))));
    }
    for (int t = 0; t < kThreads; ++t)
    {
        for (int h = 0; h < kOwnHosts; ++h)
        {
            EXPECT_TRUE(IsCachedFresh(Ipv4(10, static_cast<BYTE>(t + 1), 0, static_cast<BYTE>(h + 1))));
        }
    }
    // Own hosts are asked once; a shared host at most once per thread.
    size_t requests = m_server.RequestCount();
    EXPECT_GE(requests, static_cast<size_t>(kSharedHosts + kThreads * kOwnHosts));
    EXPECT_LE(requests, static_cast<size_t>(kThreads * (kSharedHosts + kOwnHosts)));
}

// Entries expire, sweeps run and the server changes its mind while threads
// keep asking: every call ends and the cache holds no host twice.
TEST_F(RouteCacheTest, ThreadsSurviveExpiryAndRefusals)
{
    constexpr int kThreads = 8;
    std::atomic<bool> isRunning{true};
    std::thread clock([&] {
        for (int i = 0; i < 200; ++i)
        {
            FakeNow += kRouteCacheLifetimeMs / 4;
            m_server.SetReply(Reply(i % 3 == 0 ? 0 : 1));
            ::Sleep(1);
        }
        isRunning = false;
    });
    std::vector<std::thread> threads;
    std::atomic<long> calls{0};
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([t, &isRunning, &calls] {
            for (int i = 0; isRunning; ++i)
            {
                (void)PrepareRouteForHostNetwork(Ipv4(10, static_cast<BYTE>(t), static_cast<BYTE>(i % 100), 1));
                ++calls;
            }
        });
    }
    clock.join();
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_GT(calls.load(), 0);
    auto guard = RouteCacheLock.Lock();
    EXPECT_LE(RouteCache.Size(), static_cast<size_t>(kThreads * 100));
}

TEST_F(RouteCacheTest, PeerNameOfAnUnconnectedSocketAsksNothing)
{
    WSADATA data;
    ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s);
    EXPECT_FALSE(PrepareRouteByPeerName(s));
    EXPECT_FALSE(PrepareRouteByPeerName(INVALID_SOCKET));
    EXPECT_EQ(0u, m_server.RequestCount());
    ::closesocket(s);
    ::WSACleanup();
}

TEST_F(RouteCacheTest, PeerNameOfALoopbackConnectionAsksNothing)
{
    WSADATA data;
    ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Ipv4(127, 0, 0, 1);
    int cbAddress = sizeof(address);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, ::listen(listener, 1));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &cbAddress));
    SOCKET client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)));

    EXPECT_TRUE(PrepareRouteByPeerName(client));
    EXPECT_EQ(0u, m_server.RequestCount());
    ::closesocket(client);
    ::closesocket(listener);
    ::WSACleanup();
}

// The map alone: stale entries go in the sweeps, fresh ones stay.
TEST(RouteCacheMap, SweepDropsOnlyStaleEntries)
{
    RouteCacheMap cache;
    const DWORD later = kRouteCacheLifetimeMs + 1;
    constexpr int kStale = 100;
    constexpr int kFresh = 300;
    for (int i = 0; i < kStale; ++i)
    {
        ASSERT_TRUE(cache.Store(Ipv4(10, 0, static_cast<BYTE>(i / 256), static_cast<BYTE>(i)), 0));
    }
    // Confirmed exactly one lifetime before `later`: still fresh then.
    ASSERT_TRUE(cache.Store(Ipv4(10, 9, 9, 9), 1));
    for (int i = 0; i < kFresh; ++i)
    {
        ASSERT_TRUE(cache.Store(Ipv4(10, 1, static_cast<BYTE>(i / 256), static_cast<BYTE>(i)), later));
    }
    EXPECT_EQ(static_cast<size_t>(kFresh + 1), cache.Size());
    EXPECT_TRUE(cache.IsFresh(Ipv4(10, 9, 9, 9), later));
    EXPECT_FALSE(cache.IsFresh(Ipv4(10, 0, 0, 0), later));
}

// Hosts seen once each lifetime: the map stays within twice the hosts that
// are fresh, instead of growing with every host ever seen.
TEST(RouteCacheMap, SizeStaysBoundedByTheFreshHosts)
{
    RouteCacheMap cache;
    constexpr int kHostsPerLifetime = 100;
    size_t largest = 0;
    for (int round = 0; round < 50; ++round)
    {
        const DWORD now = static_cast<DWORD>(round) * (kRouteCacheLifetimeMs + 1);
        for (int i = 0; i < kHostsPerLifetime; ++i)
        {
            ASSERT_TRUE(cache.Store(Ipv4(10, static_cast<BYTE>(round), 0, static_cast<BYTE>(i)), now));
            largest = cache.Size() > largest ? cache.Size() : largest;
        }
    }
    EXPECT_LE(largest, static_cast<size_t>(2 * kHostsPerLifetime));
}

TEST(RouteCacheMap, OverwriteRefreshesAndRemoveForgets)
{
    RouteCacheMap cache;
    const ULONG host = Ipv4(10, 1, 2, 3);
    ASSERT_TRUE(cache.Store(host, 0));
    ASSERT_TRUE(cache.Store(host, 100000));
    EXPECT_EQ(1u, cache.Size());
    EXPECT_TRUE(cache.IsFresh(host, 100000 + kRouteCacheLifetimeMs));
    cache.Remove(host);
    EXPECT_FALSE(cache.IsFresh(host, 100000));
    cache.Remove(host);
    EXPECT_EQ(0u, cache.Size());
}

// The table in front of the map answers as the map does: what was stored
// is fresh without the lock, what was removed, swept or cleared is not, and
// a host that shares a slot with another falls back to the map.
TEST(RouteCacheMap, FrontTableAnswersAsTheMap)
{
    RouteCacheMap cache;
    const ULONG host = Ipv4(10, 1, 2, 3);
    EXPECT_FALSE(cache.IsFreshWithoutLock(host, 0));
    ASSERT_TRUE(cache.Store(host, 1000));
    EXPECT_TRUE(cache.IsFreshWithoutLock(host, 1000 + kRouteCacheLifetimeMs));
    EXPECT_FALSE(cache.IsFreshWithoutLock(host, 1001 + kRouteCacheLifetimeMs));
    cache.Remove(host);
    EXPECT_FALSE(cache.IsFreshWithoutLock(host, 1000));

    // Another host in the same slot takes it; the first is still in the map,
    // and its next lookup under the lock puts it back in front.
    ASSERT_TRUE(cache.Store(host, 1000));
    ULONG rival = 0;
    for (unsigned i = 1; i < 100000 && rival == 0; ++i)
    {
        const ULONG candidate = Ipv4(10, 2, static_cast<BYTE>(i >> 8), static_cast<BYTE>(i));
        ASSERT_TRUE(cache.Store(candidate, 1000));
        if (!cache.IsFreshWithoutLock(host, 1000))
        {
            rival = candidate;
        }
        else
        {
            cache.Remove(candidate);
        }
    }
    ASSERT_NE(0u, rival);
    EXPECT_TRUE(cache.IsFreshWithoutLock(rival, 1000));
    EXPECT_TRUE(cache.IsFresh(host, 1000));
    EXPECT_TRUE(cache.IsFreshWithoutLock(host, 1000));
    EXPECT_FALSE(cache.IsFreshWithoutLock(rival, 1000));
    cache.Remove(rival);
    EXPECT_TRUE(cache.IsFreshWithoutLock(host, 1000)) << "removing the other host leaves this one";

    cache.Clear();
    EXPECT_FALSE(cache.IsFreshWithoutLock(host, 1000));
}

// Readers without the lock while the slot changes under them: a host only
// ever stored stale, sharing its slot with one stored fresh, must never
// read fresh (a reader that mixed one host's name with the other's time
// would say so).
TEST(RouteCacheMap, FrontTableReadersNeverMixTwoEntries)
{
    RouteCacheMap cache;
    const DWORD now = 10 * kRouteCacheLifetimeMs;
    const ULONG stale = Ipv4(10, 3, 0, 1);
    ULONG fresh = 0;
    ASSERT_TRUE(cache.Store(stale, now));
    for (unsigned i = 1; i < 100000 && fresh == 0; ++i)
    {
        const ULONG candidate = Ipv4(10, 4, static_cast<BYTE>(i >> 8), static_cast<BYTE>(i));
        ASSERT_TRUE(cache.Store(candidate, now));
        if (!cache.IsFreshWithoutLock(stale, now))
        {
            fresh = candidate;
        }
        cache.Remove(candidate);
    }
    ASSERT_NE(0u, fresh);
    cache.Clear();

    std::atomic<bool> isDone{false};
    std::atomic<long> wrongAnswers{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
    {
        readers.emplace_back([&] {
            while (!isDone)
            {
                if (cache.IsFreshWithoutLock(stale, now))
                {
                    ++wrongAnswers;
                }
                (void)cache.IsFreshWithoutLock(fresh, now);
                ++reads;
            }
        });
    }
    // The one writer, as the lock makes it: the stale host confirmed long
    // ago, then the fresh one, over and over.
    for (int i = 0; i < 200000; ++i)
    {
        ASSERT_TRUE(cache.Store(stale, now - 2 * kRouteCacheLifetimeMs));
        ASSERT_TRUE(cache.Store(fresh, now));
    }
    isDone = true;
    for (auto& reader : readers)
    {
        reader.join();
    }
    EXPECT_EQ(0, wrongAnswers.load()) << reads.load() << " reads";
}

} // namespace
