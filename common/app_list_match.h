// The matching rules of the application list (app_list_match.cpp), over any
// store that reads the list as the profile functions do: IniSnapshot (one
// read of the file, what DetermineBindType and the diagnosis use) or the
// tests' IniFile (a profile-function call per key, the reference). Both must
// give the same answer.
#pragma once

#include <string>
#include <vector>

// A-Z lower-cased, as the C locale does; other letters keep their case.
void ToLowerAsciiInPlace(std::wstring& text) noexcept;

// The lower-case directory prefix (ending in a backslash) that an entry's
// executable path selects, widened by up to level parent folders but never to
// a drive root or a protected folder. Empty when the path is not usable.
std::wstring GetEntryPrefix(const std::wstring& appFullname, int level);

// The first active section, in file order, whose prefix is the longest one
// that imagePath starts with; empty when none. May throw std::bad_alloc.
template <typename Store>
std::wstring MatchApplication(const Store& list, const std::wstring& imagePath)
{
    std::wstring target = imagePath;
    ToLowerAsciiInPlace(target);

    std::vector<std::wstring> sections;
    list.GetSectionNames(sections);

    std::wstring bestSection;
    size_t bestLength = 0;
    for (const std::wstring& section : sections)
    {
        if (list.GetInt(section, L"Active", 0) == 0)
        {
            continue;
        }
        const std::wstring prefix = GetEntryPrefix(list.GetString(section, L"AppFullname", std::wstring()),
                                                   list.GetInt(section, L"PathFuzzyLevel", 0));
        if (prefix.empty() || target.size() < prefix.size())
        {
            continue;
        }
        // The earlier section keeps a tie.
        if (target.compare(0, prefix.size(), prefix) == 0 && prefix.size() > bestLength)
        {
            bestLength = prefix.size();
            bestSection = section;
        }
    }
    return bestSection;
}
