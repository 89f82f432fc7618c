#include "bind/control/debug_trace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

std::string Format(size_t cbLine, const char* modulePath, const char* exePath, const char* format, ...)
{
    std::vector<char> line(cbLine);
    va_list args;
    va_start(args, format);
    size_t length = FormatTraceLine(line.data(), line.size(), modulePath, exePath, format, args);
    va_end(args);
    EXPECT_EQ(std::strlen(line.data()), length);
    return line.data();
}

TEST(DebugTrace, TagsAreTheTwoFileNamesThenTheMessage)
{
    static const struct
    {
        const char* modulePath;
        const char* exePath;
        const char* expected;
    } cases[] = {
        {"C:\\Windows\\system32\\NorvexBind.dll", "C:\\Program Files\\App\\app.exe",
         "[NorvexBind.dll][app.exe]ppiProt->ProtocolChain.ChainLen <= BASE_PROTOCOL\n"},
        {"NorvexBind.dll", "C:\\app.exe", "[DLL][app.exe]ppiProt->ProtocolChain.ChainLen <= BASE_PROTOCOL\n"},
        {"", "", "[DLL][EXE]ppiProt->ProtocolChain.ChainLen <= BASE_PROTOCOL\n"},
        {"C:\\dir\\", "C:\\x\\y.exe", "[][y.exe]ppiProt->ProtocolChain.ChainLen <= BASE_PROTOCOL\n"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.modulePath);
        EXPECT_EQ(c.expected, Format(kTraceLineBytes, c.modulePath, c.exePath,
                                     "ppiProt->ProtocolChain.ChainLen <= BASE_PROTOCOL\n"));
    }
}

TEST(DebugTrace, FormatsArgumentsPrintfStyle)
{
    EXPECT_EQ("[a.dll][b.exe]chain 2 of 0x1f: tcp\n",
              Format(kTraceLineBytes, "c:\\a.dll", "c:\\b.exe", "chain %d of 0x%x: %s\n", 2, 31, "tcp"));
}

// The line buffer is 2048 bytes; a longer message is cut there and nothing
// lands behind it.
TEST(DebugTrace, LongMessageIsCutAtTheBufferEnd)
{
    const size_t kGuard = 64;
    std::vector<char> buffer(kTraceLineBytes + kGuard, '\xAB');
    std::string longText(5000, 'x');

    auto call = [&](const char* format, ...) {
        va_list args;
        va_start(args, format);
        size_t length = FormatTraceLine(buffer.data(), kTraceLineBytes, "C:\\p\\NorvexBind.dll", "C:\\q\\app.exe",
                                        format, args);
        va_end(args);
        return length;
    };

    EXPECT_EQ(kTraceLineBytes - 1, call("%s", longText.c_str()));
    EXPECT_EQ('\0', buffer[kTraceLineBytes - 1]);
    EXPECT_EQ(0, std::strncmp(buffer.data(), "[NorvexBind.dll][app.exe]xxx", 28));
    for (size_t i = kTraceLineBytes; i < buffer.size(); ++i)
    {
        ASSERT_EQ('\xAB', buffer[i]) << "written past the line at " << i;
    }

    // Exactly fitting: 2047 characters and the terminator.
    std::string fitting(kTraceLineBytes - 1 - std::strlen("[NorvexBind.dll][app.exe]"), 'y');
    EXPECT_EQ(kTraceLineBytes - 1, call("%s", fitting.c_str()));
    EXPECT_EQ('y', buffer[kTraceLineBytes - 2]);

    // Tags alone longer than the line.
    std::string longPath = "C:\\" + std::string(3000, 'm');
    std::vector<char> small(32 + kGuard, '\xAB');
    va_list none{};
    EXPECT_EQ(31u, FormatTraceLine(small.data(), 32, longPath.c_str(), "C:\\a.exe", "", none));
    for (size_t i = 32; i < small.size(); ++i)
    {
        ASSERT_EQ('\xAB', small[i]);
    }
}

} // namespace
