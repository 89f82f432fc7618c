#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "common/product_paths.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace
{

// The exact names other programs open; spelled out here rather than taken
// from the provider's headers so that a slip in either shows.
const wchar_t kMappingName[] =
    L"Global\\VpnBindGlobalControlBlock_{05F607A4-6E2F-42e8-AFE0-7F56211E6B88}_2.3.0.2";
const wchar_t kMutexName[] = L"Global\\NorvexBindMutexName_{04A8142B-9687-4b74-B7DF-D39D3FBD1B69}";

ULONGLONG ToUInt64(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME ToFileTime(ULONGLONG value)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

DWORD Ipv4(BYTE a, BYTE b, BYTE c, BYTE d)
{
    BYTE bytes[4] = {a, b, c, d};
    DWORD value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

std::wstring VpnClientPath()
{
    return L"\"" + GetTestBinFolder() + L"vpnclient.exe\"";
}

// Opens this process's view of the block the way process attach does, and
// closes it again at the end of the test.
class ControlBlockTest : public testing::Test
{
protected:
    void SetUp() override
    {
        OpenGlobalControlBlock();
        InitSharedDataLock();
        ASSERT_NE(nullptr, ControlBlock);
    }

    void TearDown() override
    {
        CloseSharedDataLock();
        CloseGlobalControlBlock();
        ProcessCreateTime = 0;
    }
};

TEST(ControlBlockLayout, MatchesTheSharedFormat)
{
    VpnBindGlobalControlBlock block{};
    const BYTE* base = reinterpret_cast<const BYTE*>(&block);
    EXPECT_EQ(16u, sizeof(block));
    EXPECT_EQ(0, reinterpret_cast<const BYTE*>(&block.StartTime) - base);
    EXPECT_EQ(8, reinterpret_cast<const BYTE*>(&block.StartupParmas.Reserved) - base);
    EXPECT_EQ(12, reinterpret_cast<const BYTE*>(&block.StartupParmas.VpnIP) - base);
    EXPECT_STREQ(kMappingName, GetGlobalControlBlockName());
}

TEST(ControlBlock, FirstLoaderCreatesZeroedStoppedBlock)
{
    HANDLE existing = ::OpenFileMappingW(FILE_MAP_READ, FALSE, kMappingName);
    if (existing != nullptr)
    {
        ::CloseHandle(existing);
        GTEST_SKIP() << "another process holds the control block";
    }
    OpenGlobalControlBlock();
    ASSERT_NE(nullptr, ControlBlock);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(ControlBlock);
    for (int i = 0; i < 16; ++i)
    {
        EXPECT_EQ(0, bytes[i]) << "byte " << i;
    }
    EXPECT_FALSE(IsVpnBindStarted());

    // Created by this process: inheritable handle, as the design asks.
    DWORD flags = 0;
    ASSERT_TRUE(::GetHandleInformation(ControlBlockMapping, &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
    CloseGlobalControlBlock();
    EXPECT_EQ(nullptr, ControlBlock);
    EXPECT_EQ(nullptr, ControlBlockMapping);
}

// Nobody zeroes the block: the system does for a new mapping. Whether this
// process attaches to a block another one made and started, or creates the
// block and another one opens and starts it before this one has mapped its
// view, the started binding survives the attach.
TEST(ControlBlock, AttachNeverWipesAStartedBlock)
{
    for (bool isCreatedHere : {false, true})
    {
        SCOPED_TRACE(isCreatedHere ? "created here, started elsewhere before the view" : "made and started elsewhere");
        HANDLE created = isCreatedHere ? OpenOrCreateControlBlockMapping(kMappingName) : nullptr;
        UniqueObject other(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, kMappingName));
        if (isCreatedHere && ::GetLastError() != ERROR_ALREADY_EXISTS)
        {
            GTEST_SKIP() << "the mapping was not ours to create";
        }
        UniqueView otherView(::MapViewOfFile(other.Get(), FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_TRUE(otherView);
        WriteBindingStart(static_cast<VpnBindGlobalControlBlock*>(otherView.get()), 3, Ipv4(127, 10, 0, 2),
                          0x01DB000012345678ULL);
        if (isCreatedHere)
        {
            MapGlobalControlBlock(created);
        }
        else
        {
            OpenGlobalControlBlock();
        }
        EXPECT_EQ(0x01DB000012345678ULL, CurrentBinding().StartTime);
        EXPECT_EQ(Ipv4(127, 10, 0, 2), CurrentBinding().VpnIP);
        CloseGlobalControlBlock();
    }
}

// Readers take no lock, so a start or stop may run while they read: each
// reading must still be one start's time with that start's address, never a
// half-written time nor "started" with the address of another start or none.
TEST(BindingState, ReadersNeverSeeAMixedBlock)
{
    // As a view would lie: 8-byte aligned.
    alignas(8) VpnBindGlobalControlBlock block{};
    // Start k stamps a time whose two halves both change, and an address
    // made from it.
    auto timeOf = [](DWORD k) { return (static_cast<ULONGLONG>(k) << 32) | (0x80000000u | k); };
    auto addressOf = [](ULONGLONG time) { return static_cast<DWORD>(time >> 32) * 2654435761u | 1u; };
    std::atomic<bool> isDone{false};
    std::thread writer([&] {
        for (DWORD k = 1; !isDone; ++k)
        {
            WriteBindingStart(&block, k, addressOf(timeOf(k)), timeOf(k));
            if (k % 3 == 0)
            {
                WriteBindingStop(&block);
            }
        }
    });
    long started = 0;
    long mixed = 0;
    const DWORD begin = ::GetTickCount();
    while (::GetTickCount() - begin < 300 && mixed == 0)
    {
        const BindingState seen = ReadBindingState(&block);
        if (!seen.IsStarted())
        {
            continue;
        }
        ++started;
        const DWORD k = static_cast<DWORD>(seen.StartTime >> 32);
        mixed += seen.StartTime != timeOf(k) || seen.VpnIP != addressOf(seen.StartTime) ? 1 : 0;
    }
    isDone = true;
    writer.join();
    std::printf("%ld readings of a started block, %ld mixed\n", started, mixed);
    EXPECT_EQ(0, mixed);
    EXPECT_GT(started, 0);
}

TEST(ControlBlock, AbsentBlockLeavesEverythingPassive)
{
    ASSERT_EQ(nullptr, ControlBlock);
    ProcessCreateTime = ~0ULL;
    VpnBindStart(1, Ipv4(127, 10, 0, 2));
    VpnBindStop();
    EXPECT_EQ(nullptr, VpnBindGetGlobalControlBlock());
    EXPECT_FALSE(IsVpnBindStarted());
    EXPECT_FALSE(IsProcessAfterVpnBindStart());
    ProcessCreateTime = 0;
}

TEST_F(ControlBlockTest, StartStampsTimeAndStopKeepsReserved)
{
    FILETIME before;
    ::GetSystemTimeAsFileTime(&before);
    VpnBindStart(0xA5A5A5A5, Ipv4(127, 10, 0, 2));
    FILETIME after;
    ::GetSystemTimeAsFileTime(&after);

    VpnBindGlobalControlBlock* block = VpnBindGetGlobalControlBlock();
    ASSERT_EQ(ControlBlock, block);
    EXPECT_GE(ToUInt64(block->StartTime), ToUInt64(before));
    EXPECT_LE(ToUInt64(block->StartTime), ToUInt64(after));
    EXPECT_EQ(0xA5A5A5A5u, block->StartupParmas.Reserved);
    EXPECT_EQ(Ipv4(127, 10, 0, 2), block->StartupParmas.VpnIP);
    EXPECT_TRUE(IsVpnBindStarted());

    VpnBindStop();
    EXPECT_EQ(0u, ToUInt64(block->StartTime));
    EXPECT_EQ(0u, block->StartupParmas.VpnIP);
    EXPECT_EQ(0xA5A5A5A5u, block->StartupParmas.Reserved);
    EXPECT_FALSE(IsVpnBindStarted());
}

TEST_F(ControlBlockTest, SecondStartRestampsAndReplacesParameters)
{
    VpnBindStart(1, Ipv4(127, 10, 0, 2));
    ULONGLONG firstStart = ToUInt64(ControlBlock->StartTime);
    // A process created between the two starts.
    ProcessCreateTime = firstStart + 1;
    EXPECT_TRUE(IsProcessAfterVpnBindStart());

    ::Sleep(30);
    VpnBindStart(2, Ipv4(127, 10, 0, 3));
    EXPECT_GT(ToUInt64(ControlBlock->StartTime), firstStart);
    EXPECT_EQ(2u, ControlBlock->StartupParmas.Reserved);
    EXPECT_EQ(Ipv4(127, 10, 0, 3), ControlBlock->StartupParmas.VpnIP);
    EXPECT_FALSE(IsProcessAfterVpnBindStart());
    VpnBindStop();
}

TEST_F(ControlBlockTest, ProcessCountsAsAfterStartOnlyWhenStrictlyLater)
{
    const ULONGLONG start = 0x01DB5A5A00000000ULL;
    ControlBlock->StartTime = ToFileTime(start);
    static const struct
    {
        ULONGLONG createTime;
        bool isAfter;
    } cases[] = {
        {start, false},       // equal times are not after the start
        {start + 1, true},    // one FILETIME tick later is
        {start - 1, false},
        {0, false},           // unknown creation time
        {~0ULL, true},
        {start + 0x100000000ULL, true}, // differs only in the high half
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.createTime);
        ProcessCreateTime = c.createTime;
        EXPECT_EQ(c.isAfter, IsProcessAfterVpnBindStart());
        EXPECT_TRUE(IsVpnBindStarted());
    }

    // Either half of StartTime alone counts as started.
    ControlBlock->StartTime = ToFileTime(0x100000000ULL);
    EXPECT_TRUE(IsVpnBindStarted());
    ControlBlock->StartTime = ToFileTime(0);
    ProcessCreateTime = start + 1;
    EXPECT_FALSE(IsVpnBindStarted());
    EXPECT_FALSE(IsProcessAfterVpnBindStart());
}

TEST_F(ControlBlockTest, StartInThisProcessIsSeenByAnother)
{
    VpnBindStart(77, Ipv4(127, 10, 0, 4));
    std::string expectedTime = std::to_string(ToUInt64(ControlBlock->StartTime));

    ChildResult child = RunChild(VpnClientPath() + L" show");
    ASSERT_TRUE(child.didStart);
    ASSERT_TRUE(child.didFinish);
    EXPECT_EQ(0u, child.exitCode) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("StartTime: " + expectedTime)) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("Reserved:  77")) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("VpnIP:     127.10.0.4")) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("binding:   started")) << child.output;
    VpnBindStop();
}

TEST_F(ControlBlockTest, StartInAnotherProcessIsSeenHere)
{
    VpnBindStop();
    ChildResult child = RunChild(VpnClientPath() + L" start 127.10.0.5 --reserved 5 --keep-started");
    ASSERT_TRUE(child.didFinish);
    ASSERT_EQ(0u, child.exitCode) << child.output;

    EXPECT_TRUE(IsVpnBindStarted());
    EXPECT_EQ(5u, ControlBlock->StartupParmas.Reserved);
    EXPECT_EQ(Ipv4(127, 10, 0, 5), ControlBlock->StartupParmas.VpnIP);
    // This process existed before that start: it stays passive.
    ProcessCreateTime = GetProcessCreateTime(::GetCurrentProcessId());
    EXPECT_FALSE(IsProcessAfterVpnBindStart());

    child = RunChild(VpnClientPath() + L" stop");
    ASSERT_EQ(0u, child.exitCode) << child.output;
    EXPECT_FALSE(IsVpnBindStarted());
    EXPECT_EQ(5u, ControlBlock->StartupParmas.Reserved);
}

TEST_F(ControlBlockTest, ObjectsAreOpenToEveryoneWithLowLabel)
{
    for (HANDLE object : {ControlBlockMapping, SharedDataLock})
    {
        ASSERT_NE(nullptr, object);
        PACL dacl = reinterpret_cast<PACL>(1);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                   nullptr, &dacl, nullptr, &descriptor));
        EXPECT_EQ(nullptr, dacl) << "a null DACL lets every account in";
        ::LocalFree(descriptor);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetLowLabelToObject(object, SE_KERNEL_OBJECT));
    }
    for (HANDLE object : {ControlBlockMapping, SharedDataLock})
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL sacl = nullptr;
        DWORD error = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, 0x10 /* LABEL_SECURITY_INFORMATION */, nullptr,
                                        nullptr, nullptr, &sacl, &descriptor);
        ASSERT_EQ(ERROR_SUCCESS, error);
        ASSERT_NE(nullptr, sacl);
        if (sacl->AceCount == 0)
        {
            ::LocalFree(descriptor);
            GTEST_SKIP() << "this system accepts the integrity label but does not keep it (Wine)";
        }
        ACE_HEADER* ace = nullptr;
        ASSERT_TRUE(::GetAce(sacl, 0, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(0x11, ace->AceType) << "mandatory label";
        // The label's SID is S-1-16-4096 (low); it follows the mask.
        SID* sid = reinterpret_cast<SID*>(reinterpret_cast<BYTE*>(ace) + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK));
        EXPECT_EQ(4096u, *::GetSidSubAuthority(sid, 0));
        ::LocalFree(descriptor);
    }
}

TEST(SharedDataLock, IsOneMachineWideMutex)
{
    InitSharedDataLock();
    ASSERT_NE(nullptr, SharedDataLock);
    UniqueObject opened(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName));
    EXPECT_TRUE(opened);
    const bool isOwned = LockSharedData();
    EXPECT_TRUE(isOwned);
    UnlockSharedData(isOwned);
    CloseSharedDataLock();
    EXPECT_EQ(nullptr, SharedDataLock);
}

// The mutex is open to every process; one that takes it and keeps it must
// not stop the VPN client from switching the binding.
TEST_F(ControlBlockTest, StartAndStopDoNotWaitForAStuckHolder)
{
    UniqueObject holding(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueObject done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        UniqueObject mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName));
        ::WaitForSingleObject(mutex.Get(), INFINITE);
        ::SetEvent(holding.Get());
        ::WaitForSingleObject(done.Get(), 60000);
        ::ReleaseMutex(mutex.Get());
    });
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(holding.Get(), 10000));

    const DWORD start = ::GetTickCount();
    VpnBindStart(3, Ipv4(127, 10, 0, 3));
    const DWORD startMs = ::GetTickCount() - start;
    EXPECT_EQ(Ipv4(127, 10, 0, 3), ControlBlock->StartupParmas.VpnIP) << "written without the mutex";
    VpnBindStop();
    const DWORD bothMs = ::GetTickCount() - start;
    EXPECT_EQ(0u, ControlBlock->StartupParmas.VpnIP);
    std::printf("a held mutex: start returned after %lu ms, stop after %lu ms more\n", startMs, bothMs - startMs);
    EXPECT_GE(startMs + 50, kSharedDataLockWaitMs);
    EXPECT_LT(bothMs, 2 * kSharedDataLockWaitMs + 1500);

    ::SetEvent(done.Get());
    holder.join();
}

TEST_F(ControlBlockTest, AnAbandonedMutexIsTakenOverAndReleasedAgain)
{
    std::thread quitter([] {
        UniqueObject mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName));
        ::WaitForSingleObject(mutex.Get(), INFINITE); // and ends without releasing it
    });
    quitter.join();

    const DWORD start = ::GetTickCount();
    VpnBindStart(4, Ipv4(127, 10, 0, 4));
    EXPECT_LT(::GetTickCount() - start, 500u);
    EXPECT_EQ(Ipv4(127, 10, 0, 4), ControlBlock->StartupParmas.VpnIP);

    // Released after the write: another thread gets it at once.
    DWORD wait = WAIT_FAILED;
    std::thread next([&wait] {
        UniqueObject mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName));
        wait = ::WaitForSingleObject(mutex.Get(), 0);
        if (wait == WAIT_OBJECT_0)
        {
            ::ReleaseMutex(mutex.Get());
        }
    });
    next.join();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), wait);
    VpnBindStop();
}

TEST(SetLowLabelToObject, RefusesAnInvalidHandle)
{
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), SetLowLabelToObject(nullptr, SE_KERNEL_OBJECT));
}

} // namespace
