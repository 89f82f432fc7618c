#include "bind/control/debug_trace.h"

#include "bind/control/provider_state.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace
{

constexpr DWORD kModulePathBytes = 1024;

// Appends text to line[*length..cbLine) and keeps the terminator; cuts what
// does not fit.
void Append(char* line, size_t cbLine, size_t* length, const char* text) noexcept
{
    size_t room = cbLine - 1 - *length;
    size_t cch = std::strlen(text);
    if (cch > room)
    {
        cch = room;
    }
    std::memcpy(line + *length, text, cch);
    *length += cch;
    line[*length] = '\0';
}

void AppendTag(char* line, size_t cbLine, size_t* length, const char* path, const char* fallback) noexcept
{
    const char* slash = std::strrchr(path, '\\');
    Append(line, cbLine, length, "[");
    Append(line, cbLine, length, slash != nullptr ? slash + 1 : fallback);
    Append(line, cbLine, length, "]");
}

void GetModulePathA(HMODULE module, char* path) noexcept
{
    DWORD cch = ::GetModuleFileNameA(module, path, kModulePathBytes);
    path[cch < kModulePathBytes ? cch : kModulePathBytes - 1] = '\0';
}

} // namespace

size_t FormatTraceLine(char* line, size_t cbLine, const char* modulePath, const char* executablePath,
                       const char* format, va_list args) noexcept
{
    if (cbLine == 0)
    {
        return 0;
    }
    std::memset(line, 0, cbLine);
    size_t length = 0;
    AppendTag(line, cbLine, &length, modulePath, "DLL");
    AppendTag(line, cbLine, &length, executablePath, "EXE");

    size_t room = cbLine - length;
    int written = std::vsnprintf(line + length, room, format, args);
    if (written < 0)
    {
        line[length] = '\0';
        return length;
    }
    length += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1;
    return length;
}

void DebugTrace(const char* format, ...) noexcept
{
    char modulePath[kModulePathBytes];
    char executablePath[kModulePathBytes];
    char line[kTraceLineBytes];
    GetModulePathA(ProviderModule, modulePath);
    GetModulePathA(nullptr, executablePath);

    va_list args;
    va_start(args, format);
    FormatTraceLine(line, sizeof(line), modulePath, executablePath, format, args);
    va_end(args);
    ::OutputDebugStringA(line);
}
