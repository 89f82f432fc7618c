// The whole trace path, seen by a debug-output viewer. Kept apart from the
// other tests: while a viewer listens, every process's debug output waits
// for it, so this one runs alone.
#include "bind/control/debug_trace.h"
#include "common/win32_handle.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

// Debug output without a debugger goes to the DBWIN_BUFFER section that
// debug-output viewers read; listen there the way they do.
TEST(DebugTrace, LineReachesDebugOutputViewers)
{
    UniqueObject bufferReady(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"));
    UniqueObject dataReady(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
    UniqueObject section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER"));
    ASSERT_TRUE(bufferReady && dataReady && section);
    UniqueView view(::MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(view);

    ::SetEvent(bufferReady.Get());
    DebugTrace("Can not find next layer WSAStartup\n");
    if (::WaitForSingleObject(dataReady.Get(), 2000) != WAIT_OBJECT_0)
    {
        GTEST_SKIP() << "this system does not hand debug output to DBWIN_BUFFER listeners";
    }
    const char* text = static_cast<const char*>(view.get()) + sizeof(DWORD);
    EXPECT_EQ(::GetCurrentProcessId(), *static_cast<const DWORD*>(view.get()));
    std::string line(text);
    // Linked into the test program, the provider module is the program itself.
    EXPECT_EQ("[debug_output_test.exe][debug_output_test.exe]Can not find next layer WSAStartup\n", line);
}

} // namespace
