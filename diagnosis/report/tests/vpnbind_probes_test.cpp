#include "vpnbind_probes.h"

#include "bind/control/vpn_bind_api.h"
#include "common/provider_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace
{

template <typename Fn>
Fn GetExport(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

} // namespace

TEST(ControlBlockInfo, EachFailureIsItsOneLine)
{
    EXPECT_EQ(ControlBlockInfoFrom(L"no_such_provider.dll"),
              L"GetVpnBindControlBlockInfo: load library failed, no vpnbind installed?\r\n");
    EXPECT_EQ(ControlBlockInfoFrom(L"version.dll"),
              L"GetVpnBindControlBlockInfo: get proc address failed, old vpnbind installed?\r\n");
    EXPECT_EQ(ControlBlockInfoFrom(L"null_control_block.dll"),
              L"GetVpnBindControlBlockInfo: get control block failed, no memory mapping file?\r\n");
}

TEST(ControlBlockInfo, StoppedAndStartedBindingAsTheProviderMapsIt)
{
    // Loaded by file name from the program's folder, as the report does.
    const std::wstring stoppedFirst = GetVpnBindControlBlockInfo();
    HMODULE provider = ::GetModuleHandleW(kOwnProviderFile);
    ASSERT_NE(provider, nullptr) << "the probe keeps the provider loaded";
    EXPECT_EQ(::GetModuleHandleW((GetTestBinFolder() + kOwnProviderFile).c_str()), provider);
    auto start = GetExport<VpnBindStartFn>(provider, "VpnBindStart");
    auto stop = GetExport<VpnBindStopFn>(provider, "VpnBindStop");
    auto block = GetExport<VpnBindGetGlobalControlBlockFn>(provider, "VpnBindGetGlobalControlBlock")();
    ASSERT_NE(block, nullptr);

    stop();
    EXPECT_EQ(GetVpnBindControlBlockInfo(),
              L"GetVpnBindControlBlockInfo:\r\n    StartTime = 0\r\n    StartupParmas.VpnIP = 0x00000000\r\n");

    // 10.1.2.3 in network byte order lies in memory as 0A 01 02 03.
    start(7, 0x0302010A);
    ULARGE_INTEGER startTime;
    startTime.LowPart = block->StartTime.dwLowDateTime;
    startTime.HighPart = block->StartTime.dwHighDateTime;
    ASSERT_NE(startTime.QuadPart, 0u);
    EXPECT_EQ(GetVpnBindControlBlockInfo(), L"GetVpnBindControlBlockInfo:\r\n    StartTime = " +
                                                std::to_wstring(startTime.QuadPart) +
                                                L"\r\n    StartupParmas.VpnIP = 0x0302010a\r\n");
    stop();
    (void)stoppedFirst;
}

TEST(AcceleratedAppsText, FileTextUpToTheFirstNulOfEachChunk)
{
    ScratchFolder folder;
    EXPECT_EQ(ListFileText(folder.Path() + L"missing.ini"), L"");

    const std::wstring path = folder.Path() + L"applist.ini";
    const std::string list = "[C:\\Games\\game.exe]\r\nPathFuzzyLevel=1\r\n";
    WriteBytes(path, list);
    EXPECT_EQ(ListFileText(path), L"[C:\\Games\\game.exe]\r\nPathFuzzyLevel=1\r\n");

    // A NUL in the first 4096-byte chunk hides the rest of that chunk only.
    std::string damaged = "[a.exe]\r\n";
    damaged += '\0';
    damaged.append(4096 - damaged.size(), 'h');
    damaged += "[b.exe]\r\n";
    WriteBytes(path, damaged);
    EXPECT_EQ(ListFileText(path), L"[a.exe]\r\n[b.exe]\r\n");
}

TEST(AcceleratedAppsText, ReadsTheProductListWhileItIsOpenForWriting)
{
    ScopedProductList productList;
    WriteBytes(productList.Path(), "[C:\\Program Files\\App\\app.exe]\r\n");
    HANDLE writer = ::CreateFileW(productList.Path().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetAcceleratedAppsText(), L"[C:\\Program Files\\App\\app.exe]\r\n");
    ::CloseHandle(writer);
}
