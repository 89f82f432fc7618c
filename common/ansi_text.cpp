#include "common/ansi_text.h"

#include <windows.h>

#include <cstring>

std::wstring CodePageToWide(unsigned int codePage, const char* bytes, size_t cbBytes)
{
    const void* nul = std::memchr(bytes, '\0', cbBytes);
    const int cbText = static_cast<int>(nul ? static_cast<const char*>(nul) - bytes : cbBytes);
    if (cbText == 0)
    {
        return std::wstring();
    }
    const int cchText = ::MultiByteToWideChar(codePage, 0, bytes, cbText, nullptr, 0);
    if (cchText <= 0)
    {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(cchText), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes, cbText, &text[0], cchText);
    return text;
}

std::wstring AnsiToWide(const char* bytes, size_t cbBytes)
{
    return CodePageToWide(CP_THREAD_ACP, bytes, cbBytes);
}

size_t WholeCharacterBytes(unsigned int codePage, const char* bytes, size_t cbBytes)
{
    // A trail byte may look like a lead byte: walk from the start.
    size_t i = 0;
    while (i < cbBytes)
    {
        if (::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(bytes[i])))
        {
            if (i + 1 == cbBytes)
            {
                return i;
            }
            i += 2;
        }
        else
        {
            ++i;
        }
    }
    return cbBytes;
}

std::wstring AnsiToWide(const char* text)
{
    return AnsiToWide(text, std::strlen(text));
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
