#include "common/app_list_match.h"

namespace
{

// Folders an entry is never widened to, on any drive: each holds the
// programs or the data of many vendors or users. The first character stands
// for the drive letter and is compared as a space. The last three are the
// Windows Vista and 7 names of the same folders (32-bit programs on 64-bit
// Windows, the users' and the machine-wide data).
const wchar_t* const kProtectedFolders[] = {
    L" :\\Program Files",
    L" :\\WINDOWS",
    L" :\\Documents and Settings",
    L" :\\Program Files (x86)",
    L" :\\Users",
    L" :\\ProgramData",
};

// Lower case for A to Z only, as the C locale does: other letters keep their
// case, so "Ä" never matches "ä".
wchar_t ToLowerAscii(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
}

bool EqualsIgnoringAsciiCase(const std::wstring& text, const wchar_t* literal) noexcept
{
    size_t i = 0;
    for (; i < text.size() && literal[i] != L'\0'; ++i)
    {
        if (ToLowerAscii(text[i]) != ToLowerAscii(literal[i]))
        {
            return false;
        }
    }
    return i == text.size() && literal[i] == L'\0';
}

bool IsProtectedFolder(const std::wstring& folder) noexcept
{
    for (const wchar_t* literal : kProtectedFolders)
    {
        if (EqualsIgnoringAsciiCase(folder, literal))
        {
            return true;
        }
    }
    return false;
}

} // namespace

void ToLowerAsciiInPlace(std::wstring& text) noexcept
{
    for (wchar_t& c : text)
    {
        c = ToLowerAscii(c);
    }
}

std::wstring GetEntryPrefix(const std::wstring& appFullname, int level)
{
    if (appFullname.size() <= 4)
    {
        return std::wstring();
    }
    // Drive form: "X:\...". A path that has neither the colon nor the
    // backslash in its place is not one.
    if (appFullname[1] != L':' && appFullname[2] != L'\\')
    {
        return std::wstring();
    }
    size_t lastSlash = appFullname.rfind(L'\\');
    if (lastSlash == std::wstring::npos)
    {
        return std::wstring();
    }
    std::wstring folder = appFullname.substr(0, lastSlash);
    if (folder.empty())
    {
        return std::wstring();
    }
    const wchar_t drive = folder[0];
    folder[0] = L' ';

    // Never up to the drive root, nor to one of the protected folders.
    for (int step = 0; step < level && folder.size() > 3; ++step)
    {
        size_t parentEnd = folder.rfind(L'\\');
        if (parentEnd == std::wstring::npos || parentEnd <= 2)
        {
            break;
        }
        std::wstring parent = folder.substr(0, parentEnd);
        if (IsProtectedFolder(parent))
        {
            break;
        }
        folder.swap(parent);
    }

    folder[0] = drive;
    ToLowerAsciiInPlace(folder);
    folder += L'\\';
    return folder;
}

