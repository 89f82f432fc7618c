// The deliverables as they ship (the dist folder: stripped, built with the
// deliverables' compilers), run in a test process of their own bitness: the
// control exports reached as the VPN client reaches them, the provider's
// start-up over a next layer of the same bitness with the replaced procedures
// called through the table, and the registration exports through regsvr32.
// On 32-bit x86 every call also proves that the callee removed its arguments
// (tests/support/stack_check.h).
#include "bind/control/vpn_bind_api.h"
#include "common/provider_files.h"
#include "common/win32_handle.h"
#include "tests/shipped_dir.h"
#include "tests/support/provider_probe.h"
#include "tests/support/regsvr32_check.h"
#include "tests/support/route_test.h"
#include "tests/support/stack_check.h"
#include "tests/support/test_support.h"
#include "tools/vpnclient/route_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

template <typename Fn>
Fn GetExport(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Empty when the tree was configured without the shipped files.
std::wstring ShippedProviderPath()
{
    const std::wstring folder = kShippedFolder;
    return folder.empty() ? folder : folder + kOwnProviderFile;
}

#define SKIP_WITHOUT_SHIPPED_FILES()                                           \
    if (ShippedProviderPath().empty())                                         \
    {                                                                          \
        GTEST_SKIP() << "configured without the folders of the shipped files"; \
    }

#if defined(__i386__)
int __cdecl CallerRemovesTwo(int a, int b)
{
    return a + b;
}
int __stdcall CalleeRemovesTwo(int a, int b)
{
    return a - b;
}
#endif

TEST(StackCheck, TellsTheConventionsApart)
{
#if defined(__i386__)
    std::int32_t moved = 1;
    EXPECT_EQ(1, CallChecked(&CalleeRemovesTwo, &moved, 3, 2));
    EXPECT_EQ(0, moved);
    // The same call through a pointer that claims __stdcall: the two
    // arguments are still on the stack afterwards.
    auto mislabelled = reinterpret_cast<int(__stdcall*)(int, int)>(reinterpret_cast<void*>(&CallerRemovesTwo));
    EXPECT_EQ(5, CallChecked(mislabelled, &moved, 3, 2));
    EXPECT_EQ(-8, moved);
#else
    GTEST_SKIP() << "x86_64 has one calling convention";
#endif
}

class ShippedProviderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_SHIPPED_FILES();
        m_provider = ::LoadLibraryW(ShippedProviderPath().c_str());
        ASSERT_NE(nullptr, m_provider) << ::GetLastError();
        m_start = GetExport<VpnBindStartFn>(m_provider, "VpnBindStart");
        m_stop = GetExport<VpnBindStopFn>(m_provider, "VpnBindStop");
        m_getBlock = GetExport<VpnBindGetGlobalControlBlockFn>(m_provider, "VpnBindGetGlobalControlBlock");
        ASSERT_TRUE(m_start && m_stop && m_getBlock);
    }

    void TearDown() override
    {
        if (m_provider != nullptr)
        {
            m_stop();
            ::FreeLibrary(m_provider);
        }
    }

    HMODULE m_provider = nullptr;
    VpnBindStartFn m_start = nullptr;
    VpnBindStopFn m_stop = nullptr;
    VpnBindGetGlobalControlBlockFn m_getBlock = nullptr;
};

TEST_F(ShippedProviderTest, ControlExportsRemoveTheirArguments)
{
    std::int32_t moved = 1;
    VpnBindGlobalControlBlock* block = CallChecked(m_getBlock, &moved);
    EXPECT_EQ(0, moved);
    ASSERT_NE(nullptr, block);

    moved = 1;
    CallChecked(m_start, &moved, DWORD(0x11223344), DWORD(Ipv4(127, 10, 0, 9)));
    EXPECT_EQ(0, moved) << "VpnBindStart(reserved, vpnIp) takes 8 bytes of arguments";
    EXPECT_NE(0u, block->StartTime.dwLowDateTime | block->StartTime.dwHighDateTime);
    EXPECT_EQ(0x11223344u, block->StartupParmas.Reserved);
    EXPECT_EQ(Ipv4(127, 10, 0, 9), block->StartupParmas.VpnIP);

    moved = 1;
    CallChecked(m_stop, &moved);
    EXPECT_EQ(0, moved);
    EXPECT_EQ(0u, block->StartTime.dwLowDateTime | block->StartTime.dwHighDateTime);
    EXPECT_EQ(0x11223344u, block->StartupParmas.Reserved);
}

TEST_F(ShippedProviderTest, StartsOverANextLayerOfItsBitnessAndHooksItsProcedures)
{
    ProviderProbe probe;
    ASSERT_TRUE(probe.IsReady());
    RouteServer server;
    ASSERT_TRUE(server.Start(kRoutePipeName, 2, RouteReplyPlan{}));

    m_start(0, Ipv4(127, 10, 0, 2));
    ::Sleep(20); // the probe must be created strictly after the start
    ChildResult child = probe.Run(ShippedProviderPath());
    server.Stop();
    ASSERT_TRUE(child.didFinish);
    ASSERT_EQ(0u, child.exitCode) << child.output;

    // Every procedure reached the next layer, each removed its arguments,
    // the bind came down rewritten to the VPN address, and the completion
    // routine reached the caller's with the caller's own overlapped structure.
    EXPECT_EQ("WSPStartup result=0 stack=0 replaced=9\r\n"
              "loaded by WSPStartup: mswsock.dll\r\n"
              "WSPBind result=0 stack=0 passed=127.10.0.2:5000\r\n"
              "WSPConnect result=0 stack=0\r\n"
              "WSPSendTo result=0 stack=0\r\n"
              "WSPSend result=0 stack=0\r\n"
              "WSPRecv result=0 stack=0\r\n"
              "WSPRecvFrom result=-1 error=997 stack=0\r\n"
              "completion routine stack=0 caller-calls=1 own-overlapped=1 bytes=5 internal-high=5\r\n"
              "WSPRecvFrom result=0 stack=0\r\n"
              "WSPGetOverlappedResult result=1 stack=0 bytes=5\r\n"
              "WSPCloseSocket result=0 stack=0\r\n"
              "next layer saw: WSPBind WSPConnect WSPSendTo WSPSend WSPRecv WSPRecvFrom WSPRecvFrom "
              "WSPGetOverlappedResult WSPCloseSocket\r\n",
              child.output);
    // Routes for the connect's and the send-to's destinations and for both
    // received sources, in that order, over the real pipe.
    std::vector<std::string> hosts;
    for (const std::string& request : server.Requests())
    {
        hosts.push_back(FormatRouteRequestHost(reinterpret_cast<const BYTE*>(request.data()),
                                               static_cast<DWORD>(request.size())));
    }
    EXPECT_EQ((std::vector<std::string>{"192.0.2.10", "192.0.2.11", "192.0.2.12", "192.0.2.13"}), hosts);
}

// regsvr32 of the same bitness (a 32-bit one for a 32-bit process) calls
// both exports of the shipped library.
TEST_F(ShippedProviderTest, StaysMappedForAQueuedCompletionAfterWinsockUnloadsIt)
{
    ProviderProbe probe;
    ASSERT_TRUE(probe.IsReady());
    m_start(0, Ipv4(127, 10, 0, 2));
    ::Sleep(20);
    ChildResult child = probe.Run(ShippedProviderPath(), L"--unload-before-completion");
    ASSERT_TRUE(child.didFinish);
    EXPECT_EQ(0u, child.exitCode) << child.output;
    EXPECT_EQ("WSPStartup result=0 replaced=9\r\nmapped after FreeLibrary=1\r\ncaller-calls=1\r\n", child.output);
}

TEST(ShippedRegistration, Regsvr32CallsBothExports)
{
    SKIP_WITHOUT_SHIPPED_FILES();
    ExpectRegsvr32CallsBothExports(ShippedProviderPath());
}

} // namespace
