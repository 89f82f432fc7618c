#include "common/product_paths.h"

#include <gtest/gtest.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include <thread>
#include <vector>

namespace
{

ULONGLONG Now()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

TEST(ProductPaths, AppListLiesInTheNorvexFolderOfCommonAppData)
{
    std::wstring folder = GetProductDataFolder();
    std::wstring path = GetAppListPath();

    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(L'\\', folder.back());
    EXPECT_EQ(folder + L"applist.ini", path);
    EXPECT_EQ(std::wstring::npos, path.find(L"\\\\")) << "exactly one backslash between the parts";
    const std::wstring tail = L"\\Norvex\\applist.ini";
    ASSERT_GT(path.size(), tail.size());
    EXPECT_EQ(tail, path.substr(path.size() - tail.size()));

    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << "the folder is created on first use";
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Where each system keeps the folder: Vista and later in the profile list;
// 2000 and XP in the user shell folders (with variables), else in the shell
// folders. HKEY_LOCAL_MACHINE is pointed at a key of the test's own for the
// made-up rows; the last row is this system's, where the shell answers too.
TEST(ProductPaths, CommonAppDataIsReadWhereEachSystemKeepsIt)
{
    wchar_t shell[MAX_PATH] = {};
    ASSERT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, shell));
    const wchar_t* const kKeys[] = {L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"};
    const wchar_t* const kNames[] = {L"ProgramData", L"Common AppData", L"Common AppData"};
    const DWORD kTypes[] = {REG_EXPAND_SZ, REG_EXPAND_SZ, REG_SZ};
    const struct
    {
        const char* name;
        const wchar_t* values[3]; // in kKeys
        const wchar_t* expected;
    } cases[] = {
        {"Vista and later", {L"D:\\Data", L"%NORVEX_TEST_ROOT%\\Old", L"C:\\Old"}, L"D:\\Data"},
        {"XP", {nullptr, L"%NORVEX_TEST_ROOT%\\All Users\\Application Data", L"C:\\Stale"},
         L"F:\\Profiles\\All Users\\Application Data"},
        {"XP, only the expanded copy", {nullptr, nullptr, L"E:\\Shared\\"}, L"E:\\Shared"},
        {"none", {nullptr, nullptr, nullptr}, L""},
        {"this system, as the shell says", {}, shell},
    };
    ::SetEnvironmentVariableW(L"NORVEX_TEST_ROOT", L"F:\\Profiles");
    const std::wstring fakeRoot = L"Software\\NorvexTestMachine-" + std::to_wstring(::GetCurrentProcessId());
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const bool isMadeUp = c.expected != shell;
        HKEY root = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, fakeRoot.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &root, nullptr));
        for (int i = 0; i < 3 && isMadeUp; ++i)
        {
            HKEY key = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root, kKeys[i], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
            if (c.values[i] != nullptr)
            {
                ::RegSetValueExW(key, kNames[i], 0, kTypes[i], reinterpret_cast<const BYTE*>(c.values[i]),
                                 static_cast<DWORD>((std::wcslen(c.values[i]) + 1) * sizeof(wchar_t)));
            }
            ::RegCloseKey(key);
        }
        ASSERT_EQ(ERROR_SUCCESS, ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, isMadeUp ? root : nullptr));
        const std::wstring folder = GetCommonAppDataFolder();
        ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        ::RegCloseKey(root);
        ::SHDeleteKeyW(HKEY_CURRENT_USER, fakeRoot.c_str());
        EXPECT_EQ(std::wstring(c.expected), folder);
    }
}

TEST(ProductPaths, LaterCallsReturnTheCachedValue)
{
    std::wstring first = GetAppListPath();
    // The cache answers even when the folder has gone meanwhile.
    std::wstring folder = GetProductDataFolder();
    if (!::RemoveDirectoryW(folder.c_str()))
    {
        GTEST_SKIP() << "the product folder holds files (error " << ::GetLastError() << ")";
    }
    EXPECT_EQ(first, GetAppListPath());
    EXPECT_EQ(folder, GetProductDataFolder());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(folder.c_str())) << "not created a second time";
}

// The provider's first call can come from any thread of a foreign process.
TEST(ProductPaths, ConcurrentFirstCallsAgree)
{
    constexpr int kThreads = 16;
    std::vector<std::wstring> paths(kThreads);
    std::vector<std::thread> threads;
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < kThreads; ++i)
    {
        threads.emplace_back([&, i] {
            ::WaitForSingleObject(go, INFINITE);
            paths[i] = GetAppListPath();
        });
    }
    ::SetEvent(go);
    for (auto& thread : threads)
    {
        thread.join();
    }
    ::CloseHandle(go);
    for (const auto& path : paths)
    {
        EXPECT_EQ(paths[0], path);
    }
    EXPECT_EQ(paths[0], GetAppListPath());
    EXPECT_FALSE(paths[0].empty());
}

TEST(ProcessCreateTime, OfThisProcessIsKnownAndNotInTheFuture)
{
    ULONGLONG created = GetProcessCreateTime(::GetCurrentProcessId());
    EXPECT_NE(0u, created);
    EXPECT_LE(created, Now());
    // Started within the last hour.
    EXPECT_GT(created, Now() - 36000000000ULL);
}

TEST(ProcessCreateTime, OfAChildIsLaterThanOurs)
{
    wchar_t commandLine[] = L"cmd.exe /c exit 0";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                                 &si, &pi));
    ULONGLONG child = GetProcessCreateTime(pi.dwProcessId);
    ::TerminateProcess(pi.hProcess, 0);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    EXPECT_GT(child, GetProcessCreateTime(::GetCurrentProcessId()));
}

TEST(ProcessCreateTime, OfAMissingProcessIsZero)
{
    // Process ids are multiples of four; this one is never handed out.
    EXPECT_EQ(0u, GetProcessCreateTime(0xFFFFFFF1));
}

} // namespace
