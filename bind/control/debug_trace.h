// Trace lines to the system debug output, always on. Each line starts with
// "[provider file name][executable file name]" and then the message, with no
// separator and no line end of its own.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr size_t kTraceLineBytes = 2048;

void DebugTrace(const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

// Builds one line into line[0..cbLine), always NUL-terminated; a line that
// does not fit is cut. moduleName and executableName are full paths (the
// part after the last backslash is used, "[DLL]" / "[EXE]" when there is
// none). Returns the length written.
size_t FormatTraceLine(char* line, size_t cbLine, const char* modulePath, const char* executablePath,
                       const char* format, va_list args) noexcept;
