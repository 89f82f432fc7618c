#include "common/win32_handle.h"

#include <gtest/gtest.h>

#include <utility>

namespace
{

bool IsOpenHandle(HANDLE handle)
{
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

HANDLE NewEvent()
{
    return ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

TEST(UniqueHandle, ClosesExactlyOnce)
{
    HANDLE raw = NewEvent();
    {
        UniqueObject owner(raw);
        EXPECT_TRUE(owner);
        UniqueObject moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_EQ(raw, moved.Get());
        EXPECT_TRUE(IsOpenHandle(raw));
    }
    EXPECT_FALSE(IsOpenHandle(raw));
}

TEST(UniqueHandle, PutAndResetFreeTheOldHandle)
{
    HANDLE first = NewEvent();
    UniqueObject owner(first);
    *owner.Put() = NewEvent();
    EXPECT_FALSE(IsOpenHandle(first));
    HANDLE second = owner.Get();
    owner.Reset();
    EXPECT_FALSE(IsOpenHandle(second));
    EXPECT_EQ(nullptr, owner.Get());

    HANDLE kept = NewEvent();
    owner.Reset(kept);
    EXPECT_EQ(kept, owner.Release());
    EXPECT_TRUE(IsOpenHandle(kept));
    ::CloseHandle(kept);
}

TEST(UniqueHandle, FileFlavourTreatsMinusOneAsNone)
{
    UniqueFile none;
    EXPECT_FALSE(none);
    EXPECT_EQ(INVALID_HANDLE_VALUE, none.Get());
    UniqueFile missing(::CreateFileW(L"C:\\no\\such\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing);
}

TEST(CriticalSection, InitializeLockDelete)
{
    CriticalSection section;
    EXPECT_FALSE(section.IsInitialized());
    ASSERT_TRUE(section.Initialize());
    ASSERT_TRUE(section.Initialize()) << "a second call keeps the section";
    {
        auto guard = section.Lock();
        auto nested = section.Lock(); // re-entrant on one thread
    }
    section.Delete();
    EXPECT_FALSE(section.IsInitialized());
    section.Delete();
}

} // namespace
