#include "tests/support/ini_file.h"

#include "common/ini_text.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace
{

// The first read uses twice this many characters; every truncated read is
// repeated with twice the size, without an upper bound.
constexpr DWORD kInitialChars = 1024;
// Slack behind the size handed to the system.
constexpr DWORD kSlackChars = 10;

// Reads with a buffer that doubles while the system reports a truncated
// result. read(buffer, size) returns the length the system reports; the
// value is truncated when that equals size - truncationMargin. Returns false
// when memory runs out.
template <typename Char, typename ReadFn>
bool ReadGrowing(std::basic_string<Char>& out, DWORD truncationMargin, ReadFn read) noexcept
{
    try
    {
        DWORD size = kInitialChars;
        DWORD length = size - truncationMargin;
        while (length == size - truncationMargin)
        {
            if (size > MAXDWORD / 2 - kSlackChars)
            {
                return false;
            }
            size *= 2;
            out.assign(size + kSlackChars, Char());
            length = read(&out[0], size);
        }
        out.resize(length);
        return true;
    }
    catch (...)
    {
        out.clear();
        return false;
    }
}

std::string ToCodePage(UINT codePage, const std::wstring& text)
{
    if (text.empty())
    {
        return std::string();
    }
    int cb = ::WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    if (cb <= 0)
    {
        return std::string();
    }
    std::string bytes(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], cb, nullptr,
                          nullptr);
    return bytes;
}

std::wstring FromUtf8(const std::string& bytes)
{
    if (bytes.empty())
    {
        return std::wstring();
    }
    int cch = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (cch <= 0)
    {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(cch), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], cch);
    return text;
}

std::wstring FormatDecimal(int value)
{
    // Through unsigned, so that INT_MIN has a magnitude.
    unsigned int magnitude = value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    wchar_t digits[16];
    int count = 0;
    do
    {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::wstring text;
    if (value < 0)
    {
        text += L'-';
    }
    while (count > 0)
    {
        text += digits[--count];
    }
    return text;
}

} // namespace

IniFile::IniFile(const std::wstring& path) noexcept
{
    try
    {
        m_path = path;
    }
    catch (...)
    {
        // An empty path reads as a missing file.
    }
}

std::wstring IniFile::GetString(const std::wstring& section, const std::wstring& key,
                                const std::wstring& defaultValue) const noexcept
{
    try
    {
        std::wstring escaped = EscapeSectionName(section);
        std::wstring value;
        bool isRead = ReadGrowing(value, 1, [&](wchar_t* buffer, DWORD size) {
            return ::GetPrivateProfileStringW(escaped.c_str(), key.c_str(), defaultValue.c_str(), buffer, size,
                                              m_path.c_str());
        });
        if (!isRead)
        {
            return defaultValue;
        }
        // The length is the one the terminator gives.
        value.resize(std::wcslen(value.c_str()));
        return value;
    }
    catch (...)
    {
        try
        {
            return defaultValue;
        }
        catch (...)
        {
            return std::wstring();
        }
    }
}

int IniFile::GetInt(const std::wstring& section, const std::wstring& key, int defaultValue) const noexcept
{
    return ProfileTextToInt(GetString(section, key, std::wstring()), defaultValue);
}

long long IniFile::GetInt64(const std::wstring& section, const std::wstring& key, long long defaultValue) const noexcept
{
    std::wstring text = GetString(section, key, std::wstring());
    if (text.empty())
    {
        return defaultValue;
    }
    return std::wcstoll(text.c_str(), nullptr, 0);
}

std::wstring IniFile::GetStringUtf8(const std::wstring& section, const std::wstring& key,
                                    const std::wstring& defaultValue) const noexcept
{
    try
    {
        std::string escaped = ToCodePage(CP_ACP, EscapeSectionName(section));
        std::string keyBytes = ToCodePage(CP_ACP, key);
        std::string path = ToCodePage(CP_ACP, m_path);
        std::string defaultBytes = ToCodePage(CP_UTF8, defaultValue);
        std::string value;
        bool isRead = ReadGrowing(value, 1, [&](char* buffer, DWORD size) {
            return ::GetPrivateProfileStringA(escaped.c_str(), keyBytes.c_str(), defaultBytes.c_str(), buffer, size,
                                              path.c_str());
        });
        if (!isRead)
        {
            return defaultValue;
        }
        value.resize(std::strlen(value.c_str()));
        return FromUtf8(value);
    }
    catch (...)
    {
        return std::wstring();
    }
}

void IniFile::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const noexcept
{
    try
    {
        ::WritePrivateProfileStringW(EscapeSectionName(section).c_str(), key.c_str(), value.c_str(), m_path.c_str());
    }
    catch (...)
    {
    }
}

void IniFile::WriteInt(const std::wstring& section, const std::wstring& key, int value) const noexcept
{
    try
    {
        WriteString(section, key, FormatDecimal(value));
    }
    catch (...)
    {
    }
}

void IniFile::DeleteSection(const std::wstring& section) const noexcept
{
    try
    {
        ::WritePrivateProfileStringW(EscapeSectionName(section).c_str(), nullptr, nullptr, m_path.c_str());
    }
    catch (...)
    {
    }
}

void IniFile::GetSectionNames(std::vector<std::wstring>& names) const noexcept
{
    names.clear();
    try
    {
        std::wstring block;
        // The system reports size - 2 when the names do not fit.
        if (!ReadGrowing(block, 2, [&](wchar_t* buffer, DWORD size) {
                return ::GetPrivateProfileSectionNamesW(buffer, size, m_path.c_str());
            }))
        {
            return;
        }
        ParseSectionNameBlock(block, names);
    }
    catch (...)
    {
        names.clear();
    }
}

void IniFile::ParseSectionNameBlock(const std::wstring& block, std::vector<std::wstring>& names) noexcept
{
    names.clear();
    try
    {
        size_t position = 0;
        while (position < block.size())
        {
            size_t end = block.find(L'\0', position);
            if (end == std::wstring::npos || end == position)
            {
                break;
            }
            names.push_back(UnescapeSectionName(block.substr(position, end - position)));
            position = end + 1;
        }
    }
    catch (...)
    {
        names.clear();
    }
}

