// Every way a listed program reaches a host, through the table the provider's
// start-up hands out, over real sockets: the next layer is Winsock itself
// (winsock_next_layer.dll), the peer the project's test host 10.77.0.1 and the
// VPN address 10.77.0.2, both on the loopback interface of the test's own
// network namespace (scripts/lib.sh).
#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/extension_functions.h"
#include "bind/core/host_address.h"
#include "bind/core/protocol_catalog.h"
#include "bind/core/provider_tables.h"
#include "bind/core/route_cache.h"
#include "bind/core/tests/in_memory_catalog.h"
#include "tests/support/ini_file.h"
#include "tests/support/route_test.h"
#include "tests/support/test_support.h"
#include "tools/vpnclient/route_server.h"

#include <mswsock.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern "C" int WSPAPI WSPStartup(WORD, LPWSPDATA, LPWSAPROTOCOL_INFOW, WSPUPCALLTABLE, LPWSPPROC_TABLE);

namespace
{

const ULONG kPeer = Ipv4(10, 77, 0, 1);
const ULONG kVpn = Ipv4(10, 77, 0, 2);
const GUID kConnectExId = WSAID_CONNECTEX;
const GUID kSendMsgId = {0xa441e712, 0x754f, 0x43ca, {0x84, 0xa7, 0x0d, 0xee, 0x44, 0xcf, 0x60, 0x6d}};
const GUID kRecvMsgId = WSAID_WSARECVMSG;

// An IPv4 address, or a mapped one for a dual-stack socket.
struct Address
{
    sockaddr_storage storage{};
    int cb = sizeof(storage);
    Address() = default;
    Address(int family, ULONG host, USHORT port)
    {
        const sockaddr_in v4 = Ipv4Address(host, port);
        sockaddr_in6 v6 = MappedAddress(host);
        v6.sin6_port = htons(port);
        cb = family == AF_INET ? sizeof(v4) : sizeof(v6);
        std::memcpy(&storage, family == AF_INET ? static_cast<const void*>(&v4) : &v6, cb);
    }
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&storage); }
    ULONG Host() const
    {
        ULONG host = 0;
        bool isMapped = false;
        return GetIpv4Host(Get(), cb, kWholeIpv4Address, &host, &isMapped) ? host : 0;
    }
    USHORT Port() const { return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port); } // both families
};

Address LocalOf(SOCKET s)
{
    Address a;
    ::getsockname(s, a.Get(), &a.cb);
    return a;
}

int g_routineCalls = 0;
void CALLBACK CountCompletion(DWORD, DWORD, LPWSAOVERLAPPED, DWORD)
{
    ++g_routineCalls;
}

class HostPathsTest : public testing::Test
{
protected:
    void SetUp() override
    {
        WSADATA wsa;
        ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &wsa));
        const DWORD own = m_catalog.Add(kBindLayeredProviderId, L"NorvexBind.dll");
        const DWORD base = m_catalog.Add(TestGuid(0x1001), GetTestBinFolder() + L"winsock_next_layer.dll");
        const DWORD chainId = m_catalog.Add(TestGuid(0x5001), L"", 0, {own, base});
        WSAPROTOCOL_INFOW chain{};
        for (const WSAPROTOCOL_INFOW& entry : m_catalog.Entries())
        {
            chain = entry.dwCatalogEntryId == chainId ? entry : chain;
        }
        ::GetModuleFileNameW(nullptr, ProcessImagePath, kProviderPathChars);
        {
            IniFile list(m_list.Path());
            for (const wchar_t* key : {L"Active", L"ForceWSPBind", L"UseAsyncMode"})
            {
                list.WriteString(L"Tests", key, L"1");
            }
            list.WriteString(L"Tests", L"AppFullname", ProcessImagePath);
        }
        OpenGlobalControlBlock();
        ASSERT_TRUE(RouteCacheLock.Initialize() && PendingRecvFromLock.Initialize()
                    && ExtensionFunctionLock.Initialize());
        VpnBindStart(0, kVpn);
        ProcessCreateTime = CurrentBinding().StartTime + 1;
        WSPDATA data{};
        ASSERT_EQ(0, WSPStartup(MAKEWORD(2, 2), &data, &chain, WSPUPCALLTABLE{}, &m_table));
        ASSERT_TRUE(m_server.Start(kRoutePipeName, 2, RouteReplyPlan{}));
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        m_peerUdp = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        const Address peer(AF_INET, kPeer, 0);
        ASSERT_EQ(0, ::bind(m_listener, peer.Get(), peer.cb)) << "10.77.0.1 must be on lo (scripts/lib.sh)";
        ASSERT_EQ(0, ::listen(m_listener, 8));
        ASSERT_EQ(0, ::bind(m_peerUdp, peer.Get(), peer.cb));
    }

    void TearDown() override
    {
        m_server.Stop();
        ::closesocket(m_listener);
        ::closesocket(m_peerUdp);
        VpnBindStop();
        CloseGlobalControlBlock();
        ProcessCreateTime = 0;
        NextProcTable = {};
        ::WSACleanup();
    }

    template <typename Fn>
    Fn Extension(SOCKET s, GUID id)
    {
        void* out = nullptr;
        DWORD cb = 0;
        int error = 0;
        m_table.lpWSPIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof(id), &out, sizeof(out), &cb, nullptr,
                           nullptr, nullptr, &error);
        return reinterpret_cast<Fn>(out);
    }

    // Bound to any address through the bind rule.
    void BindToAny(SOCKET s, int family)
    {
        const Address any(family, INADDR_ANY, 0);
        int error = 0;
        EXPECT_EQ(0, m_table.lpWSPBind(s, any.Get(), any.cb, &error));
    }

    // The peer sends one datagram to where s is bound.
    void Hear(SOCKET s)
    {
        const Address local = LocalOf(s);
        const Address to(AF_INET, local.Host(), local.Port());
        EXPECT_EQ(4, ::sendto(m_peerUdp, "ping", 4, 0, to.Get(), to.cb));
    }

    InMemoryCatalog m_catalog;
    ScopedProductList m_list;
    WSPPROC_TABLE m_table{};
    RouteServer m_server;
    SOCKET m_listener = INVALID_SOCKET;
    SOCKET m_peerUdp = INVALID_SOCKET;
    char m_data[16] = "datagram";
    WSABUF m_buffer{sizeof(m_data), m_data};
};

TEST_F(HostPathsTest, EveryPathOfAListedProgramReachesTheRouteStep)
{
    // A path gets a fresh socket and the peer's address in its family, and
    // says whether the program's call succeeded. *heard is the source the
    // program was given: Wine reports some loopback sources wrongly, and the
    // route step must see what the program sees.
    using Path = std::function<bool(SOCKET, int, const Address&, Address* heard)>;
    const Path connect = [&](SOCKET s, int, const Address& peer, Address*) {
        int error = 0;
        return m_table.lpWSPConnect(s, peer.Get(), peer.cb, nullptr, nullptr, nullptr, nullptr, &error) == 0;
    };
    const Path connectEx = [&](SOCKET s, int family, const Address& peer, Address*) {
        BindToAny(s, family);
        WSAOVERLAPPED overlapped{};
        DWORD cb = 0;
        DWORD flags = 0;
        return Extension<ConnectExFn>(s, kConnectExId)(s, peer.Get(), peer.cb, nullptr, 0, nullptr, &overlapped)
               || (::WSAGetLastError() == ERROR_IO_PENDING && ::WSAGetOverlappedResult(s, &overlapped, &cb, TRUE, &flags));
    };
    const Path sendTo = [&](SOCKET s, int, const Address& peer, Address*) {
        DWORD sent = 0;
        int error = 0;
        return m_table.lpWSPSendTo(s, &m_buffer, 1, &sent, 0, peer.Get(), peer.cb, nullptr, nullptr, nullptr, &error)
               == 0;
    };
    const Path sendMsg = [&](SOCKET s, int, const Address& peer, Address*) {
        WSAMSG msg{const_cast<sockaddr*>(peer.Get()), peer.cb, &m_buffer, 1, {0, nullptr}, 0};
        DWORD sent = 0;
        return Extension<WSASendMsgFn>(s, kSendMsgId)(s, &msg, 0, &sent, nullptr, nullptr) == 0;
    };
    const Path recvFrom = [&](SOCKET s, int family, const Address&, Address* heard) {
        BindToAny(s, family);
        Hear(s);
        DWORD received = 0;
        DWORD flags = 0;
        int error = 0;
        return m_table.lpWSPRecvFrom(s, &m_buffer, 1, &received, &flags, heard->Get(), &heard->cb, nullptr, nullptr,
                                     nullptr, &error)
               == 0;
    };
    // Completed by the program's result query, or by its completion routine.
    const auto recvMsg = [&](bool withRoutine) {
        return Path([&, withRoutine](SOCKET s, int family, const Address&, Address* heard) {
            BindToAny(s, family);
            WSAMSG msg{heard->Get(), heard->cb, &m_buffer, 1, {0, nullptr}, 0};
            WSAOVERLAPPED overlapped{};
            overlapped.hEvent = ::WSACreateEvent();
            g_routineCalls = 0;
            const INT result = Extension<WSARecvMsgFn>(s, kRecvMsgId)(s, &msg, nullptr, &overlapped,
                                                                        withRoutine ? CountCompletion : nullptr);
            const bool isIssued = result == 0 || ::WSAGetLastError() == WSA_IO_PENDING;
            Hear(s);
            DWORD cb = 0;
            DWORD flags = 0;
            int error = 0;
            for (int i = 0; withRoutine && i < 100 && g_routineCalls == 0; ++i)
            {
                ::SleepEx(50, TRUE);
            }
            const bool isDone = withRoutine ? g_routineCalls == 1
                                            : ::WaitForSingleObject(overlapped.hEvent, 5000) == WAIT_OBJECT_0
                                                  && m_table.lpWSPGetOverlappedResult(s, &overlapped, &cb, FALSE,
                                                                                      &flags, &error);
            ::WSACloseEvent(overlapped.hEvent);
            heard->cb = msg.namelen;
            return isIssued && isDone;
        });
    };
    const struct
    {
        const char* name;
        int family; // AF_INET6: a dual-stack socket
        int type;
        bool isBoundToTheVpn; // the bind rule applies
        Path path;
    } rows[] = {
        {"connect and WSAConnect", AF_INET, SOCK_STREAM, true, connect},
        {"ConnectEx", AF_INET, SOCK_STREAM, true, connectEx},
        {"sendto and WSASendTo", AF_INET, SOCK_DGRAM, true, sendTo},
        {"WSASendMsg", AF_INET, SOCK_DGRAM, true, sendMsg},
        {"receive-from", AF_INET, SOCK_DGRAM, true, recvFrom},
        {"WSARecvMsg, result query", AF_INET, SOCK_DGRAM, true, recvMsg(false)},
        {"dual-stack connect", AF_INET6, SOCK_STREAM, true, connect},
        {"dual-stack ConnectEx", AF_INET6, SOCK_STREAM, true, connectEx},
        // Never bound to a mapped address: it may send to IPv6 hosts later.
        {"dual-stack sendto", AF_INET6, SOCK_DGRAM, false, sendTo},
        {"dual-stack WSASendMsg", AF_INET6, SOCK_DGRAM, false, sendMsg},
        {"dual-stack receive-from", AF_INET6, SOCK_DGRAM, true, recvFrom},
        {"dual-stack WSARecvMsg, completion routine", AF_INET6, SOCK_DGRAM, true, recvMsg(true)},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        {
            auto guard = RouteCacheLock.Lock();
            RouteCache.Clear();
        }
        m_server.ClearRequests();
        const SOCKET s = ::WSASocketW(row.family, row.type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
        const DWORD options[] = {0, 5000}; // IPV6_V6ONLY off, SO_RCVTIMEO
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&options[0]), sizeof(DWORD));
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&options[1]), sizeof(DWORD));
        const Address peerOfItsKind = LocalOf(row.type == SOCK_STREAM ? m_listener : m_peerUdp);
        Address heard;
        EXPECT_TRUE(row.path(s, row.family, Address(row.family, kPeer, peerOfItsKind.Port()), &heard))
            << "error " << ::WSAGetLastError();
        const ULONG expected = heard.storage.ss_family != 0 ? heard.Host() : kPeer;
        const BYTE* host = reinterpret_cast<const BYTE*>(&expected);
        const std::string hostText = std::to_string(host[0]) + "." + std::to_string(host[1]) + "."
                                     + std::to_string(host[2]) + "." + std::to_string(host[3]);
        const std::vector<std::string> asked = m_server.Requests();
        const std::string askedText =
            asked.size() != 1 ? std::to_string(asked.size()) + " requests"
                              : FormatRouteRequestHost(reinterpret_cast<const BYTE*>(asked[0].data()), 5);
        EXPECT_EQ(hostText, askedText);
        std::printf("%s: route asked for %s\n", row.name, askedText.c_str());
        const Address local = LocalOf(s);
        EXPECT_EQ(row.family, local.storage.ss_family);
        EXPECT_TRUE(!row.isBoundToTheVpn || local.Host() == kVpn);
        int error = 0;
        m_table.lpWSPCloseSocket(s, &error);
    }
}

// A next layer of the test's own behind WSPIoctl: per socket a ConnectEx of
// its own, AcceptEx, another ioctl, and a lookup that fails.
BOOL PASCAL FakeConnectEx1(SOCKET, const sockaddr*, int, PVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    ::WSASetLastError(1001);
    return FALSE;
}
BOOL PASCAL FakeConnectEx2(SOCKET, const sockaddr*, int, PVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    ::WSASetLastError(1002);
    return TRUE;
}
void* const kFakeAcceptEx = reinterpret_cast<void*>(0x5EED);

int WSPAPI FakeIoctl(SOCKET s, DWORD code, LPVOID in, DWORD, LPVOID out, DWORD, LPDWORD, LPWSAOVERLAPPED,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT lpErrno)
{
    const GUID acceptExId = WSAID_ACCEPTEX;
    if (s == 99)
    {
        *lpErrno = WSAEOPNOTSUPP;
        return SOCKET_ERROR;
    }
    void* function = code != SIO_GET_EXTENSION_FUNCTION_POINTER     ? reinterpret_cast<void*>(0x77)
                     : std::memcmp(in, &acceptExId, sizeof(GUID)) == 0 ? kFakeAcceptEx
                     : s == 1                                         ? reinterpret_cast<void*>(FakeConnectEx1)
                                                                      : reinterpret_cast<void*>(FakeConnectEx2);
    std::memcpy(out, &function, sizeof(function));
    return 0;
}

TEST_F(HostPathsTest, OnlyTheThreeFunctionsAreTheProvidersAndEachSocketReachesItsOwn)
{
    NextProcTable.lpWSPIoctl = FakeIoctl;
    EXPECT_EQ(kFakeAcceptEx, Extension<void*>(1, WSAID_ACCEPTEX));
    auto ours = Extension<ConnectExFn>(1, kConnectExId);
    EXPECT_EQ(reinterpret_cast<void*>(ConnectExThroughProvider), reinterpret_cast<void*>(ours));
    EXPECT_EQ(ours, Extension<ConnectExFn>(2, kConnectExId));
    const Address peer(AF_INET, Ipv4(192, 0, 2, 10), 80);
    EXPECT_FALSE(ours(1, peer.Get(), peer.cb, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(1001, ::WSAGetLastError()) << "socket 1's own function, its result and error";
    EXPECT_TRUE(ours(2, peer.Get(), peer.cb, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(1002, ::WSAGetLastError());

    // Another ioctl, and a failed lookup: the next layer's output and error.
    DWORD out = 0;
    DWORD cb = 0;
    int error = 0;
    EXPECT_EQ(0, m_table.lpWSPIoctl(1, FIONREAD, nullptr, 0, &out, sizeof(out), &cb, nullptr, nullptr, nullptr, &error));
    EXPECT_EQ(0x77u, out);
    EXPECT_EQ(nullptr, Extension<void*>(99, kConnectExId));

    // Once the binding is stopped, the next layer's own function.
    VpnBindStop();
    EXPECT_EQ(reinterpret_cast<void*>(FakeConnectEx1), Extension<void*>(1, kConnectExId));
    EXPECT_EQ(1u, m_server.RequestCount()) << "our two calls asked for the host once, then found it cached";
}

} // namespace
