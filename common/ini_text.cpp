#include "common/ini_text.h"

#include <cstdlib>

namespace
{

bool IsHexDigit(wchar_t c) noexcept
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

int HexValue(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    return (c | 0x20) - L'a' + 10;
}

} // namespace

int ProfileTextToInt(const std::wstring& text, int defaultValue) noexcept
{
    if (text.empty())
    {
        return defaultValue;
    }
    return static_cast<int>(std::wcstol(text.c_str(), nullptr, 0));
}

std::wstring EscapeSectionName(const std::wstring& name) noexcept
{
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring escaped;
    try
    {
        escaped.reserve(name.size());
        for (wchar_t c : name)
        {
            switch (c)
            {
            case L'\0':
            case L'\t':
            case L'\n':
            case L'\r':
            case L'[':
            case L']':
            case L'%':
                escaped += L'%';
                escaped += kHex[(c >> 4) & 0xF];
                escaped += kHex[c & 0xF];
                break;
            default:
                escaped += c;
                break;
            }
        }
    }
    catch (...)
    {
        escaped.clear();
    }
    return escaped;
}

std::wstring UnescapeSectionName(const std::wstring& escaped) noexcept
{
    std::wstring name;
    try
    {
        name.reserve(escaped.size());
        const size_t length = escaped.size();
        size_t i = 0;
        while (i < length)
        {
            wchar_t c = escaped[i];
            // Another program writes this text: a percent sign decodes only
            // when two more characters follow.
            if (c == L'%' && i + 2 < length && escaped[i + 1] != L'\0' && escaped[i + 2] != L'\0')
            {
                int code = 0;
                for (size_t k = i + 1; k <= i + 2 && IsHexDigit(escaped[k]); ++k)
                {
                    code = code * 16 + HexValue(escaped[k]);
                }
                // A decoded NUL stays in the name; escaping writes it back as
                // %00, so the name still leads to its own section.
                name += static_cast<wchar_t>(code);
                i += 3;
                continue;
            }
            name += c;
            ++i;
        }
    }
    catch (...)
    {
        name.clear();
    }
    return name;
}
