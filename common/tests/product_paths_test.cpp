#include "common/product_paths.h"

#include <gtest/gtest.h>

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
