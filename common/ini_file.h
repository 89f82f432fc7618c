// Access to one INI file (the application list) through the system's
// profile-file functions. Section names are stored escaped, so that any text,
// brackets and line breaks included, can name a section.
//
// Reads never fail towards the caller: a missing file, key or section gives
// the default or an empty list; a failed write is silent. Nothing throws.
#pragma once

#include <string>
#include <vector>

class IniFile
{
public:
    explicit IniFile(const std::wstring& path) noexcept;

    std::wstring GetString(const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue) const noexcept;
    int GetInt(const std::wstring& section, const std::wstring& key, int defaultValue) const noexcept;
    long long GetInt64(const std::wstring& section, const std::wstring& key, long long defaultValue) const noexcept;
    std::wstring GetStringUtf8(const std::wstring& section, const std::wstring& key,
                               const std::wstring& defaultValue) const noexcept;

    void WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const noexcept;
    void WriteInt(const std::wstring& section, const std::wstring& key, int value) const noexcept;
    void DeleteSection(const std::wstring& section) const noexcept;

    // Replaces names with the file's section names, unescaped, in file order.
    void GetSectionNames(std::vector<std::wstring>& names) const noexcept;

    // Splits the system's block of NUL-separated section names, unescaping
    // each; an empty name ends the list.
    static void ParseSectionNameBlock(const std::wstring& block, std::vector<std::wstring>& names) noexcept;

    // Tab, line feed, carriage return, brackets and the percent sign become
    // "%xx" (two lower-case hex digits); so does a NUL, which only a decoded
    // "%00" from a foreign file can put into a name.
    static std::wstring EscapeSectionName(const std::wstring& name) noexcept;
    static std::wstring UnescapeSectionName(const std::wstring& escaped) noexcept;

private:
    std::wstring m_path;
};

// How GetInt reads a value's text: the default for an empty text, otherwise
// wcstol in base 0 (0x for hexadecimal, a leading 0 for octal; conversion
// stops at the first character that does not fit, no digit gives 0).
int ProfileTextToInt(const std::wstring& text, int defaultValue) noexcept;
