#include "report_text.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <vector>

std::wstring FormatText(const wchar_t* format, ...)
{
    std::vector<wchar_t> buffer(256);
    for (;;)
    {
        va_list args;
        va_start(args, format);
        const int written = _vsnwprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        // msvcrt reports a text that does not fit with -1 (or exactly the
        // buffer's size, with no room for the NUL).
        if (written >= 0 && static_cast<size_t>(written) < buffer.size())
        {
            return std::wstring(buffer.data(), static_cast<size_t>(written));
        }
        buffer.resize(buffer.size() * 2);
    }
}
