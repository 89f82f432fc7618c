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

std::wstring AnsiToWide(const char* bytes, size_t cbBytes)
{
    const void* nul = std::memchr(bytes, '\0', cbBytes);
    const int cbText = static_cast<int>(nul ? static_cast<const char*>(nul) - bytes : cbBytes);
    if (cbText == 0)
    {
        return std::wstring();
    }
    const int cchText = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, cbText, nullptr, 0);
    if (cchText <= 0)
    {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(cchText), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, cbText, &text[0], cchText);
    return text;
}

std::string WideToAnsi(const std::wstring& text)
{
    if (text.empty())
    {
        return std::string();
    }
    const int cchText = static_cast<int>(text.size());
    const int cbAnsi = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), cchText, nullptr, 0, nullptr, nullptr);
    if (cbAnsi <= 0)
    {
        return std::string();
    }
    std::string ansi(static_cast<size_t>(cbAnsi), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), cchText, &ansi[0], cbAnsi, nullptr, nullptr);
    return ansi;
}
