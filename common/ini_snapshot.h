// An INI file read in one go: one read of the file, one parse, and lookups
// that answer as the system's profile functions answer for the same file
// (GetPrivateProfileSectionNamesW and GetPrivateProfileStringW); the tests
// hold it to the answers of the profile functions themselves. Those open and
// parse the whole file again for every key they read; DetermineBindType reads
// the application list through this instead, once per start-up.
//
// What the file may hold, and how it reads:
// - ANSI (the ANSI code page), or UTF-8, UTF-16 LE or UTF-16 BE behind their
//   byte order mark; a missing, empty, unreadable or locked file is empty.
// - Lines end at any run of CR and LF. Blanks (tab to carriage return,
//   Ctrl-Z, space) around a line, a section name, a key name and a value do
//   not count. "[name]" starts a section (its name ends at the last "]"); a
//   line of another form is a key, "name=value" or a name alone without a
//   value (which reads as missing).
// - Names compare without regard to case for A to Z only. The first section
//   of a name answers for it, and in it the first key of a name; keys before
//   the first section form a section without a name.
// - A value in matching single or double quotes reads without them; a NUL
//   ends a name or a value.
// - Section names are unescaped (common/ini_text.h), and a section without a
//   name ends the list, as it ends the profile functions' block of names.
//
// One instance per reader. Construction and lookups may throw std::bad_alloc
// (DetermineBindType catches it: the process is then not selected).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

class IniSnapshot
{
public:
    explicit IniSnapshot(const std::wstring& path);

    // Unescaped, in file order.
    void GetSectionNames(std::vector<std::wstring>& names) const;
    // The section name is escaped first; GetInt reads as ProfileTextToInt.
    std::wstring GetString(const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue) const;
    int GetInt(const std::wstring& section, const std::wstring& key, int defaultValue) const;

    // Decodes the bytes of a file as the profile functions do.
    static std::wstring DecodeText(const std::string& bytes);

private:
    struct Span
    {
        size_t begin = 0;
        size_t length = 0;
    };
    struct Key
    {
        Span name;
        Span value;
        bool hasValue = false;
    };
    struct Section
    {
        Span name;
        size_t firstKey = 0;
        size_t keyCount = 0;
    };

    void Parse();
    static std::wstring FoldedName(const wchar_t* text, size_t length);
    void AddLine(size_t begin, size_t end);
    Span Trimmed(size_t begin, size_t end) const noexcept;
    Span UpToNul(Span span) const noexcept;
    bool Equals(Span span, const std::wstring& text, size_t textBegin, size_t textLength) const noexcept;
    const Key* Find(const std::wstring& section, const std::wstring& key) const;

    std::wstring m_text;
    std::vector<Section> m_sections; // the first is the one without a name
    std::vector<Key> m_keys;
    // Each section name, A to Z lower-cased, to the first section of that
    // name: a lookup costs the same for the last of 500 sections as for the
    // first.
    std::unordered_map<std::wstring, size_t> m_firstSectionOfName;
};
