// The built provider (NorvexBind.dll, or NorvexBind64.dll for x86_64) as
// other programs see it: loaded by file name,
// its exports looked up by their plain names, the block reached by its name.
#include "bind/control/vpn_bind_api.h"
#include "bind/install/registration.h"
#include "common/provider_files.h"
#include "common/win32_handle.h"
#include "tests/support/provider_probe.h"
#include "tests/support/regsvr32_check.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

const wchar_t kMappingName[] =
    L"Global\\VpnBindGlobalControlBlock_{05F607A4-6E2F-42e8-AFE0-7F56211E6B88}_2.3.0.2";

template <typename Fn>
Fn GetExport(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

TEST(ProviderDll, ControlExportsWorkThroughTheLibrary)
{
    HMODULE provider = ::LoadLibraryW((GetTestBinFolder() + kOwnProviderFile).c_str());
    ASSERT_NE(nullptr, provider);
    auto start = GetExport<VpnBindStartFn>(provider, "VpnBindStart");
    auto stop = GetExport<VpnBindStopFn>(provider, "VpnBindStop");
    auto getBlock = GetExport<VpnBindGetGlobalControlBlockFn>(provider, "VpnBindGetGlobalControlBlock");
    ASSERT_TRUE(start && stop && getBlock);

    VpnBindGlobalControlBlock* block = getBlock();
    ASSERT_NE(nullptr, block);

    // A second view of the same object, opened by its published name.
    UniqueObject mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, kMappingName));
    ASSERT_TRUE(mapping);
    UniqueView view(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 16));
    ASSERT_TRUE(view);
    const auto* seen = static_cast<const VpnBindGlobalControlBlock*>(view.get());

    const BYTE vpnIp[4] = {127, 10, 0, 6};
    DWORD vpnIpValue;
    std::memcpy(&vpnIpValue, vpnIp, 4);
    start(9, vpnIpValue);
    EXPECT_NE(0u, seen->StartTime.dwLowDateTime | seen->StartTime.dwHighDateTime);
    EXPECT_EQ(9u, seen->StartupParmas.Reserved);
    EXPECT_EQ(0, std::memcmp(vpnIp, reinterpret_cast<const BYTE*>(seen) + 12, 4)) << "network byte order at offset 12";

    stop();
    EXPECT_EQ(0u, seen->StartTime.dwLowDateTime | seen->StartTime.dwHighDateTime);
    EXPECT_EQ(0u, seen->StartupParmas.VpnIP);

    // Unloading closes the provider's handles; our own keep the block alive.
    EXPECT_TRUE(::FreeLibrary(provider));
    EXPECT_EQ(9u, seen->StartupParmas.Reserved);
}

TEST(ProviderDll, LastHolderGoneMeansAFreshStoppedBlock)
{
    std::wstring path = GetTestBinFolder() + kOwnProviderFile;
    HMODULE provider = ::LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, provider);
    GetExport<VpnBindStartFn>(provider, "VpnBindStart")(1, 0x0100007F);
    ASSERT_TRUE(::FreeLibrary(provider));

    HANDLE leftover = ::OpenFileMappingW(FILE_MAP_READ, FALSE, kMappingName);
    if (leftover != nullptr)
    {
        ::CloseHandle(leftover);
        GTEST_SKIP() << "another process holds the control block";
    }
    provider = ::LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, provider);
    VpnBindGlobalControlBlock* block = GetExport<VpnBindGetGlobalControlBlockFn>(provider, "VpnBindGetGlobalControlBlock")();
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, block->StartTime.dwLowDateTime | block->StartTime.dwHighDateTime);
    EXPECT_EQ(0u, block->StartupParmas.Reserved);
    ::FreeLibrary(provider);
}

} // namespace

namespace
{

// A completion routine the provider put in the caller's place runs the
// provider's code later; the application's WSACleanup, after which Winsock
// frees the library, must not unmap it under a completion still queued.
TEST(ProviderDll, StaysMappedForAQueuedCompletionAfterWinsockUnloadsIt)
{
    const std::wstring path = GetTestBinFolder() + kOwnProviderFile;
    HMODULE provider = ::LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, provider);
    ProviderProbe probe;
    ASSERT_TRUE(probe.IsReady());
    GetExport<VpnBindStartFn>(provider, "VpnBindStart")(0, 0x0200007F);
    ::Sleep(20);
    ChildResult child = probe.Run(path, L"--unload-before-completion");
    GetExport<VpnBindStopFn>(provider, "VpnBindStop")();
    ::FreeLibrary(provider);
    ASSERT_TRUE(child.didFinish);
    EXPECT_EQ(0u, child.exitCode) << child.output;
    EXPECT_EQ("WSPStartup result=0 replaced=9\r\nmapped after FreeLibrary=1\r\ncaller-calls=1\r\n", child.output);
}

// Installers call the registration exports through regsvr32.
TEST(ProviderDll, RegistrationExportsAreCalledByRegsvr32)
{
    ExpectRegsvr32CallsBothExports(GetTestBinFolder() + kOwnProviderFile);

    // For contrast: a library without the exports.
    ChildResult other = RunChild(L"regsvr32.exe /s \"" + GetTestBinFolder() + L"recording_provider.dll\"");
    EXPECT_EQ(4u, other.exitCode);
}

} // namespace
