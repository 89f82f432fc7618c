// Access to one INI file (an application list) through the system's
// profile-file functions, for the tests: the writer of their lists, and the
// reference that the product's one-read IniSnapshot must answer as. Section
// names are stored escaped (common/ini_text.h).
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

private:
    std::wstring m_path;
};
