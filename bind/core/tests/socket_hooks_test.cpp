#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/control/route_pipe.h"
#include "bind/core/provider_tables.h"
#include "bind/core/host_address.h"
#include "bind/core/route_cache.h"
#include "bind/core/socket_hooks.h"
#include "bind/core/winsock_calls.h"
#include "bind/core/tests/recording_provider.h"
#include "tests/support/route_test.h"
#include "tests/support/test_support.h"
#include "tools/vpnclient/route_server.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

namespace
{

using ResetFn = void (*)(int, int);
using CallLogFn = const char* (*)();
using LastAddressFn = int (*)(BYTE*);

// The VPN address and the hosts the tests talk to. Nothing leaves the
// process: the next layer is the recording provider, and routes are asked
// for on a local pipe.
const ULONG kVpnIp = Ipv4(127, 10, 0, 2);
const ULONG kHostA = Ipv4(192, 0, 2, 10);
const ULONG kHostB = Ipv4(192, 0, 2, 11);

// Winsock as the application's process would see it: getsockname and
// getpeername answer from what the test set up, and bind comes back into
// the provider's WSPBind, as Winsock's dispatch through the table does.
struct FakeWinsock
{
    std::set<SOCKET> bound;
    std::map<SOCKET, ULONG> peers;
    int calls = 0;
};
FakeWinsock* g_winsock = nullptr;

int WSAAPI FakeGetSockName(SOCKET s, sockaddr* name, int* namelen)
{
    ++g_winsock->calls;
    if (g_winsock->bound.count(s) == 0 || *namelen < static_cast<int>(sizeof(sockaddr_in)))
    {
        return SOCKET_ERROR;
    }
    *reinterpret_cast<sockaddr_in*>(name) = Ipv4Address(kVpnIp, 4000);
    return 0;
}

int WSAAPI FakeBind(SOCKET s, const sockaddr* name, int namelen)
{
    ++g_winsock->calls;
    int error = 0;
    int result = WSPBind(s, name, namelen, &error);
    if (result == 0)
    {
        g_winsock->bound.insert(s);
    }
    return result;
}

int WSAAPI FakeGetPeerName(SOCKET s, sockaddr* name, int* namelen)
{
    ++g_winsock->calls;
    auto peer = g_winsock->peers.find(s);
    if (peer == g_winsock->peers.end())
    {
        return SOCKET_ERROR;
    }
    *reinterpret_cast<sockaddr_in*>(name) = Ipv4Address(peer->second, 443);
    *namelen = sizeof(sockaddr_in);
    return 0;
}

const WinsockCalls kFakeCalls = {FakeGetSockName, FakeBind, FakeGetPeerName};

class SocketHooksTest : public testing::Test
{
protected:
    void SetUp() override
    {
        HMODULE next = ::LoadLibraryW((GetTestBinFolder() + L"recording_provider.dll").c_str());
        ASSERT_NE(nullptr, next);
        m_reset = reinterpret_cast<ResetFn>(reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderReset")));
        m_log = reinterpret_cast<CallLogFn>(reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderCallLog")));
        m_lastAddress =
            reinterpret_cast<LastAddressFn>(reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderLastAddress")));
        auto startup = reinterpret_cast<LPWSPSTARTUP>(reinterpret_cast<void*>(::GetProcAddress(next, "WSPStartup")));
        m_lastAddressBytes = reinterpret_cast<RecordingLastAddressBytesFn>(
            reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderLastAddressBytes")));
        m_lastErrorSeen = reinterpret_cast<RecordingLastErrorSeenFn>(
            reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderLastErrorSeen")));
        m_leaveLastError = reinterpret_cast<RecordingLeaveLastErrorFn>(
            reinterpret_cast<void*>(::GetProcAddress(next, "RecordingProviderLeaveLastError")));
        ASSERT_TRUE(m_reset && m_log && m_lastAddress && m_lastAddressBytes && m_lastErrorSeen && m_leaveLastError
                    && startup);
        m_reset(0, 0);
        WSPDATA data{};
        WSAPROTOCOL_INFOW info{};
        WSPUPCALLTABLE upcalls{};
        ASSERT_EQ(0, startup(MAKEWORD(2, 2), &data, &info, upcalls, &NextProcTable));
        ForceWSPBind = 1;

        g_winsock = &m_winsock;
        SetWinsockCalls(&kFakeCalls);

        OpenGlobalControlBlock();
        ASSERT_NE(nullptr, ControlBlock);
        VpnBindStart(0, kVpnIp);
        m_startTime = (static_cast<ULONGLONG>(ControlBlock->StartTime.dwHighDateTime) << 32)
                      | ControlBlock->StartTime.dwLowDateTime;
        ProcessCreateTime = m_startTime + 1;

        ASSERT_TRUE(RouteCacheLock.Initialize());
        {
            auto guard = RouteCacheLock.Lock();
            RouteCache.Clear();
        }
        RouteReplyPlan yes;
        ASSERT_TRUE(m_server.Start(kRoutePipeName, 2, yes));
        RouteBackoff.End();
        m_reset(0, 0);
    }

    void TearDown() override
    {
        m_server.Stop();
        SetWinsockCalls(nullptr);
        g_winsock = nullptr;
        VpnBindStop();
        CloseGlobalControlBlock();
        ProcessCreateTime = 0;
        ForceWSPBind = 0;
        NextProcTable = {};
    }

    sockaddr_in LastAddress()
    {
        sockaddr_in address{};
        m_lastAddress(reinterpret_cast<BYTE*>(&address));
        return address;
    }

    std::string Log() { return m_log(); }

    int Connect(SOCKET s, ULONG host, USHORT port = 80)
    {
        sockaddr_in to = Ipv4Address(host, port);
        int error = 0;
        return WSPConnect(s, reinterpret_cast<const sockaddr*>(&to), sizeof(to), nullptr, nullptr, nullptr, nullptr,
                          &error);
    }

    int SendTo(SOCKET s, const sockaddr_in* to)
    {
        char payload[] = "datagram";
        WSABUF buffer{sizeof(payload), payload};
        DWORD sent = 0;
        int error = 0;
        return WSPSendTo(s, &buffer, 1, &sent, 0, reinterpret_cast<const sockaddr*>(to),
                         to != nullptr ? sizeof(*to) : 0, nullptr, nullptr, nullptr, &error);
    }

    ResetFn m_reset = nullptr;
    CallLogFn m_log = nullptr;
    LastAddressFn m_lastAddress = nullptr;
    RecordingLastAddressBytesFn m_lastAddressBytes = nullptr;
    RecordingLastErrorSeenFn m_lastErrorSeen = nullptr;
    RecordingLeaveLastErrorFn m_leaveLastError = nullptr;
    FakeWinsock m_winsock;
    RouteServer m_server;
    ULONGLONG m_startTime = 0;
};

TEST_F(SocketHooksTest, BindRule)
{
    const ULONG kOther = Ipv4(127, 20, 0, 1);
    static const struct
    {
        const char* name;
        bool isStarted;
        bool isAfterStart;
        int force;
        ULONG requested;
        ULONG passed;
    } cases[] = {
        {"stopped", false, true, 1, INADDR_ANY, INADDR_ANY},
        {"switch off", true, true, 0, INADDR_ANY, INADDR_ANY},
        {"any becomes the VPN address", true, true, 1, INADDR_ANY, kVpnIp},
        {"another address stays", true, true, 1, kOther, kOther},
        {"older process: VPN address becomes any", true, false, 1, kVpnIp, INADDR_ANY},
        {"older process: any stays", true, false, 1, INADDR_ANY, INADDR_ANY},
        {"older process: another address stays", true, false, 1, kOther, kOther},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (!c.isStarted)
        {
            VpnBindStop();
        }
        else
        {
            VpnBindStart(0, kVpnIp);
            m_startTime = (static_cast<ULONGLONG>(ControlBlock->StartTime.dwHighDateTime) << 32)
                          | ControlBlock->StartTime.dwLowDateTime;
        }
        ProcessCreateTime = c.isAfterStart ? m_startTime + 1 : m_startTime;
        ForceWSPBind = c.force;
        // The same rule for the IPv4 address inside a dual-stack socket's
        // mapped one (::ffff:0.0.0.0 and the like).
        for (bool isMapped : {false, true})
        {
            SCOPED_TRACE(isMapped ? "mapped" : "IPv4");
            m_reset(0, 0);
            sockaddr_in v4 = Ipv4Address(c.requested, 5000);
            sockaddr_in6 v6 = MappedAddress(c.requested);
            v6.sin6_port = htons(5000);
            const sockaddr* requested = isMapped ? reinterpret_cast<const sockaddr*>(&v6)
                                                 : reinterpret_cast<const sockaddr*>(&v4);
            const int cbRequested = isMapped ? sizeof(v6) : sizeof(v4);
            int error = 0;
            EXPECT_EQ(0, WSPBind(7, requested, cbRequested, &error));
            BYTE passed[sizeof(sockaddr_in6)] = {};
            EXPECT_EQ(cbRequested, m_lastAddressBytes(passed, sizeof(passed)));
            ULONG host = 0;
            std::memcpy(&host, passed + (isMapped ? 20 : 4), sizeof(host));
            EXPECT_EQ(c.passed, host);
            EXPECT_EQ(0, std::memcmp(requested, passed, isMapped ? 20 : 4)) << "family and port as requested";
        }
    }
}

// An IPv4 family with a length that does not cover the address is passed on
// as it came: the provider reads nothing behind the caller's length.
TEST_F(SocketHooksTest, ShortOrForeignAddressesPassUntouched)
{
    BYTE shortAddress[8] = {AF_INET, 0, 0x13, 0x88, 0, 0, 0, 0};
    int error = 0;
    EXPECT_EQ(0, WSPBind(7, reinterpret_cast<const sockaddr*>(shortAddress), sizeof(shortAddress), &error));
    BYTE seen[16];
    EXPECT_EQ(8, m_lastAddress(seen));
    EXPECT_EQ(0, std::memcmp(shortAddress, seen, sizeof(shortAddress)));

    // in6addr_any and native IPv6 hosts: the VPN carries IPv4 only.
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    EXPECT_EQ(0, WSPBind(7, reinterpret_cast<const sockaddr*>(&v6), sizeof(v6), &error));
    BYTE passed[sizeof(v6)] = {};
    EXPECT_EQ(static_cast<int>(sizeof(v6)), m_lastAddressBytes(passed, sizeof(passed)));
    EXPECT_EQ(0, std::memcmp(&v6, passed, sizeof(v6)));
    v6.sin6_addr.s6_addr[0] = 0x20; // 2001:db8::1
    v6.sin6_addr.s6_addr[1] = 0x01;
    v6.sin6_addr.s6_addr[2] = 0x0d;
    v6.sin6_addr.s6_addr[3] = 0xb8;
    v6.sin6_addr.s6_addr[15] = 1;
    EXPECT_EQ(0, WSPConnect(8, reinterpret_cast<const sockaddr*>(&v6), sizeof(v6), nullptr, nullptr, nullptr, nullptr,
                            &error));
    EXPECT_EQ(0, WSPBind(7, nullptr, 0, &error));
    EXPECT_EQ(0u, m_server.RequestCount());
}

// The next layer gets the caller's whole address, as long as the caller says
// and the largest address goes, with only sin_addr rewritten; a buffer that
// is shorter than its length goes down as it came.
TEST_F(SocketHooksTest, BindPassesTheWholeAddressOn)
{
    BYTE* pages = static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(nullptr, pages);
    ASSERT_NE(nullptr, ::VirtualAlloc(pages, 4096, MEM_COMMIT, PAGE_READWRITE));
    static const struct
    {
        const char* name;
        int namelen;
        int cbMapped; // of the caller's buffer
        int passedLength;
        bool isRewritten;
    } cases[] = {
        {"sockaddr_in", 16, 16, 16, true},
        {"sockaddr_storage", 128, 128, 128, true},
        {"longer than any address", 200, 200, 128, true},
        {"length beyond the mapped buffer", 128, 40, 128, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        // The address ends where the mapped page ends.
        BYTE* caller = pages + 4096 - c.cbMapped;
        for (int i = 0; i < c.cbMapped; ++i)
        {
            caller[i] = static_cast<BYTE>(0xA0 + i);
        }
        sockaddr_in head = Ipv4Address(INADDR_ANY, 5000);
        std::memcpy(caller, &head, sizeof(head));
        m_reset(0, 0);
        m_leaveLastError(TRUE, 0x1234);
        int error = 0;
        EXPECT_EQ(0, WSPBind(7, reinterpret_cast<const sockaddr*>(caller), c.namelen, &error));
        EXPECT_EQ(0x1234u, ::GetLastError()) << "the next layer's last error reaches the caller";

        BYTE passed[256] = {};
        EXPECT_EQ(c.isRewritten ? c.passedLength : c.namelen, m_lastAddressBytes(passed, sizeof(passed)));
        const auto* passedAddress = reinterpret_cast<const sockaddr_in*>(passed);
        EXPECT_EQ(c.isRewritten ? kVpnIp : INADDR_ANY, passedAddress->sin_addr.s_addr);
        EXPECT_EQ(htons(5000), passedAddress->sin_port);
        const int cbCompared = c.isRewritten ? c.passedLength - 8 : 8;
        EXPECT_EQ(0, std::memcmp(caller + 8, passed + 8, cbCompared)) << "the rest of the address as the caller's";
    }
    ::VirtualFree(pages, 0, MEM_RELEASE);
}

// The provider's own steps leave no trace in the thread's last error: the
// next layer finds the application's value, and the application finds the
// next layer's. Here every own step fails: the route server is gone (the
// pipe open fails with 2) and the forced bind finds the socket unbound.
TEST_F(SocketHooksTest, LastErrorIsTheApplicationsThenTheNextLayers)
{
    m_server.Stop();
    m_winsock.peers[24] = kHostB;
    char data[4] = {};
    WSABUF buffer{sizeof(data), data};
    DWORD count = 0;
    DWORD flags = 0;
    int error = 0;
    sockaddr_in any = Ipv4Address(INADDR_ANY, 0);
    sockaddr_in to = Ipv4Address(kHostB, 53);
    const struct
    {
        const char* name;
        std::function<void()> call;
    } cases[] = {
        {"bind", [&] { WSPBind(24, reinterpret_cast<const sockaddr*>(&any), sizeof(any), &error); }},
        {"connect", [&] { Connect(25, kHostA); }},
        {"send-to", [&] { SendTo(26, &to); }},
        {"send", [&] { WSPSend(24, &buffer, 1, &count, 0, nullptr, nullptr, nullptr, &error); }},
        {"receive", [&] { WSPRecv(24, &buffer, 1, &count, &flags, nullptr, nullptr, nullptr, &error); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (bool isNextLeaving : {false, true})
        {
            SCOPED_TRACE(isNextLeaving ? "next layer sets its own" : "next layer leaves it");
            m_reset(0, 0);
            m_leaveLastError(isNextLeaving, 0x1234);
            ::SetLastError(0xDEADBEEF);
            c.call();
            EXPECT_EQ(0xDEADBEEFu, m_lastErrorSeen());
            EXPECT_EQ(isNextLeaving ? 0x1234u : 0xDEADBEEFu, ::GetLastError());
        }
    }
}

DWORD g_fakeNow = 0;

DWORD FakeTick() noexcept
{
    return g_fakeNow;
}

// A route server that accepts and never answers costs a listed program one
// deadline: the calls after it go on at once, without asking, until the
// window ends; then the next call asks again, and an answer ends the rest.
TEST_F(SocketHooksTest, AnUnansweredRouteServerCostsOneDeadlineNotOnePerCall)
{
    RouteReplyPlan reply;
    reply.kind = RouteReplyKind::Never;
    m_server.SetReply(reply);
    g_fakeNow = 5000;
    SetRouteTickSource(FakeTick);
    DWORD elapsedMs[2] = {}; // the first connect, the ten after it
    for (int i = 0; i < 11; ++i)
    {
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(0, Connect(static_cast<SOCKET>(100 + i), Ipv4(192, 0, 2, static_cast<BYTE>(20 + i))));
        elapsedMs[i == 0 ? 0 : 1] += ::GetTickCount() - start;
    }
    std::printf("route server that never answers: first connect %lu ms, the ten after it %lu ms in all\n",
                elapsedMs[0], elapsedMs[1]);
    EXPECT_GE(elapsedMs[0], kRouteExchangeDeadlineMs - 400);
    EXPECT_LT(elapsedMs[0], kRouteExchangeDeadlineMs + 1500);
    EXPECT_LT(elapsedMs[1], 500u);

    m_server.SetReply(RouteReplyPlan{});
    const struct
    {
        DWORD advanceMs;
        SOCKET s;
        size_t requests;
    } steps[] = {
        {kRouteServerBackoffMs - 1, 120, 1}, // still within the window
        {1, 121, 2},                         // over: asked again, and answered
        {0, 122, 3},                         // the answer ended the rest
    };
    for (const auto& step : steps)
    {
        g_fakeNow += step.advanceMs;
        EXPECT_EQ(0, Connect(step.s, step.s == 122 ? kHostB : kHostA));
        EXPECT_EQ(step.requests, m_server.RequestCount()) << "step " << step.s;
    }
    SetRouteTickSource(nullptr);
}

TEST_F(SocketHooksTest, ConnectBindsAnUnboundSocketAndPreparesTheRoute)
{
    EXPECT_EQ(0, Connect(11, kHostA, 443));
    EXPECT_EQ("WSPBind WSPConnect", Log());
    sockaddr_in connected = LastAddress();
    EXPECT_EQ(kHostA, connected.sin_addr.s_addr) << "the connect goes down unchanged";
    EXPECT_EQ(htons(443), connected.sin_port);
    ASSERT_TRUE(m_server.WaitForRequests(1, 2000));
    EXPECT_EQ(1u, m_server.RequestCount());

    // Bound now: a second connect binds nothing, and the cache answers.
    m_reset(0, 0);
    EXPECT_EQ(0, Connect(11, kHostA));
    EXPECT_EQ("WSPConnect", Log());
    EXPECT_EQ(1u, m_server.RequestCount());
}

TEST_F(SocketHooksTest, ConnectToLoopback)
{
    EXPECT_EQ(0, Connect(12, Ipv4(127, 0, 0, 1)));
    EXPECT_EQ("WSPConnect", Log()) << "no forced bind for 127.0.0.1";
    EXPECT_EQ(0, m_winsock.calls);

    m_reset(0, 0);
    EXPECT_EQ(0, Connect(13, Ipv4(127, 0, 0, 2)));
    EXPECT_EQ("WSPBind WSPConnect", Log()) << "other loopback hosts are bound";
    EXPECT_EQ(0u, m_server.RequestCount()) << "but no route is asked for";
}

TEST_F(SocketHooksTest, SwitchOffStillPreparesRoutes)
{
    ForceWSPBind = 0;
    EXPECT_EQ(0, Connect(14, kHostA));
    EXPECT_EQ("WSPConnect", Log());
    sockaddr_in to = Ipv4Address(kHostB, 53);
    EXPECT_EQ(0, SendTo(15, &to));
    EXPECT_EQ("WSPConnect WSPSendTo", Log());
    EXPECT_TRUE(m_server.WaitForRequests(2, 2000));
}

TEST_F(SocketHooksTest, FirstSendToBindsOnce)
{
    sockaddr_in to = Ipv4Address(kHostB, 53);
    EXPECT_EQ(0, SendTo(16, &to));
    EXPECT_EQ(0, SendTo(16, &to));
    EXPECT_EQ("WSPBind WSPSendTo WSPSendTo", Log());
    EXPECT_EQ(1u, m_server.RequestCount());

    // A datagram socket the application connected sends without a destination.
    m_reset(0, 0);
    int before = m_winsock.calls;
    EXPECT_EQ(0, SendTo(17, nullptr));
    EXPECT_EQ("WSPSendTo", Log());
    EXPECT_EQ(before, m_winsock.calls);
}

TEST_F(SocketHooksTest, ApplicationBoundSocketIsNeverRebound)
{
    m_winsock.bound.insert(18);
    EXPECT_EQ(0, Connect(18, kHostA));
    sockaddr_in to = Ipv4Address(kHostA, 53);
    EXPECT_EQ(0, SendTo(18, &to));
    EXPECT_EQ("WSPConnect WSPSendTo", Log());
}

TEST_F(SocketHooksTest, SendAndRecvPrepareTheRouteToThePeer)
{
    m_winsock.peers[19] = kHostB;
    char data[4] = {};
    WSABUF buffer{sizeof(data), data};
    DWORD count = 0;
    DWORD flags = 0;
    int error = 0;
    EXPECT_EQ(0, WSPSend(19, &buffer, 1, &count, 0, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(0, WSPRecv(19, &buffer, 1, &count, &flags, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ("WSPSend WSPRecv", Log());
    EXPECT_EQ(1u, m_server.RequestCount()) << "asked once, then cached";

    // No peer: nothing asked, call forwarded.
    EXPECT_EQ(0, WSPSend(20, &buffer, 1, &count, 0, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(1u, m_server.RequestCount());
}

TEST_F(SocketHooksTest, StoppedBindingForwardsAtOnce)
{
    VpnBindStop();
    m_winsock.peers[21] = kHostA;
    EXPECT_EQ(0, Connect(21, kHostA));
    sockaddr_in to = Ipv4Address(kHostA, 53);
    EXPECT_EQ(0, SendTo(21, &to));
    char data[4] = {};
    WSABUF buffer{sizeof(data), data};
    DWORD count = 0, flags = 0;
    int error = 0;
    EXPECT_EQ(0, WSPSend(21, &buffer, 1, &count, 0, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(0, WSPRecv(21, &buffer, 1, &count, &flags, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ("WSPConnect WSPSendTo WSPSend WSPRecv", Log());
    EXPECT_EQ(0, m_winsock.calls) << "no Winsock calls of the provider's own";
    EXPECT_EQ(0u, m_server.RequestCount());
}

// The next layer's result goes back unchanged, even when the provider's own
// steps failed (route server gone, forced bind refused).
TEST_F(SocketHooksTest, ResultsComeBackUnchanged)
{
    m_server.Stop();
    m_reset(0, SOCKET_ERROR);
    EXPECT_EQ(SOCKET_ERROR, Connect(22, kHostA));
    EXPECT_EQ("WSPBind WSPConnect", Log());
    m_reset(0, 4321);
    sockaddr_in to = Ipv4Address(kHostB, 53);
    EXPECT_EQ(4321, SendTo(23, &to));
}

} // namespace
