// One binding for both bitnesses. 64-bit Windows runs 32-bit and 64-bit
// programs side by side, each with the provider of its own bitness; the VPN
// client may start the binding through either, and both must then see it.
// Here a start through this test flavour's provider is seen by a program of
// the other bitness through the other bitness's shipped provider, and the
// other way round (both Wines, one prefix).
#include "bind/control/vpn_bind_api.h"
#include "common/provider_files.h"
#include "tests/shipped_dir.h"
#include "tests/support/route_test.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace
{

constexpr int kOtherBits = sizeof(void*) == 8 ? 32 : 64;

std::wstring OtherClient()
{
    return std::wstring(kOtherTestsBinFolder) + L"vpnclient.exe";
}

std::wstring OtherProvider()
{
    return std::wstring(kOtherShippedFolder) + ProviderFileForBits(kOtherBits);
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// This flavour's provider, loaded for the test's life.
class CrossBitnessTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (kOtherTestsBinFolder[0] == L'\0' || kOtherShippedFolder[0] == L'\0')
        {
            GTEST_SKIP() << "configured without the other bitness's programs";
        }
        for (const std::wstring& file : {OtherClient(), OtherProvider()})
        {
            ASSERT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(file.c_str()))
                << Narrow(file) << " is missing: build both test flavours (scripts/lib.sh build_all)";
        }
        m_provider = ::LoadLibraryW((GetTestBinFolder() + kOwnProviderFile).c_str());
        ASSERT_NE(nullptr, m_provider);
        m_start = Export<VpnBindStartFn>("VpnBindStart");
        m_stop = Export<VpnBindStopFn>("VpnBindStop");
        auto getBlock = Export<VpnBindGetGlobalControlBlockFn>("VpnBindGetGlobalControlBlock");
        ASSERT_TRUE(m_start && m_stop && getBlock);
        m_block = getBlock();
        ASSERT_NE(nullptr, m_block);
    }

    void TearDown() override
    {
        if (m_provider != nullptr)
        {
            m_stop();
            ::FreeLibrary(m_provider);
        }
    }

    template <typename Fn>
    Fn Export(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(m_provider, name)));
    }

    // What a program of the other bitness prints of the block it maps.
    // Its line ends become "\n".
    ChildResult ShowThere() const
    {
        ChildResult shown =
            RunChild(L"\"" + OtherClient() + L"\" show --provider \"" + OtherProvider() + L"\"", 60000);
        shown.output.erase(std::remove(shown.output.begin(), shown.output.end(), '\r'), shown.output.end());
        return shown;
    }

    ULONGLONG StartTimeHere() const
    {
        return (static_cast<ULONGLONG>(m_block->StartTime.dwHighDateTime) << 32) | m_block->StartTime.dwLowDateTime;
    }

    HMODULE m_provider = nullptr;
    VpnBindStartFn m_start = nullptr;
    VpnBindStopFn m_stop = nullptr;
    VpnBindGlobalControlBlock* m_block = nullptr;
};

TEST_F(CrossBitnessTest, AStartHereIsSeenByAProgramOfTheOtherBitness)
{
    m_start(20817, Ipv4(127, 10, 0, 41));
    ChildResult shown = ShowThere();
    ASSERT_TRUE(shown.didFinish);
    ASSERT_EQ(0u, shown.exitCode) << shown.output;
    EXPECT_NE(std::string::npos, shown.output.find("StartTime: " + std::to_string(StartTimeHere()) + " ("))
        << shown.output;
    EXPECT_NE(std::string::npos, shown.output.find("Reserved:  20817\n")) << shown.output;
    EXPECT_NE(std::string::npos, shown.output.find("VpnIP:     127.10.0.41\n")) << shown.output;
    EXPECT_NE(std::string::npos, shown.output.find("binding:   started\n")) << shown.output;

    m_stop();
    shown = ShowThere();
    ASSERT_TRUE(shown.didFinish);
    EXPECT_NE(std::string::npos, shown.output.find("StartTime: 0\n")) << shown.output;
    EXPECT_NE(std::string::npos, shown.output.find("Reserved:  20817\n")) << "a stop keeps Reserved: " << shown.output;
    EXPECT_NE(std::string::npos, shown.output.find("binding:   stopped\n")) << shown.output;
}

TEST_F(CrossBitnessTest, AStartByAProgramOfTheOtherBitnessIsSeenHere)
{
    m_stop();
    const std::wstring event = L"NorvexCrossBitnessStart-" + std::to_wstring(::GetCurrentProcessId());
    HeldChild client(OtherClient(), L"start 127.10.0.42 --reserved 7 --provider \"" + OtherProvider() + L"\"", event);
    ASSERT_TRUE(client.IsStarted());
    // Up to 30 s for the other Wine to start the program (an emulated one
    // is slow to start).
    for (int i = 0; i < 600 && (m_block->StartupParmas.VpnIP != Ipv4(127, 10, 0, 42) || StartTimeHere() == 0); ++i)
    {
        ::Sleep(50);
    }
    EXPECT_EQ(Ipv4(127, 10, 0, 42), m_block->StartupParmas.VpnIP);
    EXPECT_EQ(7u, m_block->StartupParmas.Reserved);
    EXPECT_NE(0u, StartTimeHere());

    // The other program stops the binding as it ends.
    DWORD exitCode = 1;
    ASSERT_TRUE(client.Release(30000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(0u, StartTimeHere());
    EXPECT_EQ(0u, m_block->StartupParmas.VpnIP);
    EXPECT_EQ(7u, m_block->StartupParmas.Reserved);
}

} // namespace
