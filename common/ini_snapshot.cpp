#include "common/ini_snapshot.h"

#include "common/ini_text.h"
#include "common/win32_handle.h"

#include <windows.h>


namespace
{

bool IsProfileBlank(wchar_t c) noexcept
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == L' ';
}

wchar_t ToLowerAscii(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
}

std::wstring FromCodePage(UINT codePage, const char* bytes, size_t cbBytes)
{
    if (cbBytes == 0 || cbBytes > 0x7FFFFFFF)
    {
        return std::wstring();
    }
    const int cch = ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(cbBytes), nullptr, 0);
    if (cch <= 0)
    {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(cch), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(cbBytes), &text[0], cch);
    return text;
}

// The whole file, or nothing: shared as the profile functions open it, so a
// writer that holds it without sharing leaves it unreadable for both.
std::string ReadWholeFile(const std::wstring& path)
{
    std::string bytes;
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return bytes;
    }
    const DWORD cbFile = ::GetFileSize(file.Get(), nullptr);
    if (cbFile == INVALID_FILE_SIZE || cbFile == 0)
    {
        return bytes;
    }
    bytes.resize(cbFile);
    DWORD cbRead = 0;
    if (!::ReadFile(file.Get(), &bytes[0], cbFile, &cbRead, nullptr))
    {
        bytes.clear();
        return bytes;
    }
    bytes.resize(cbRead);
    return bytes;
}

// A value in matching quotes reads without them; so does the default.
std::wstring WithoutQuotes(const wchar_t* text, size_t length)
{
    if (length >= 2 && (text[0] == L'"' || text[0] == L'\'') && text[length - 1] == text[0])
    {
        return std::wstring(text + 1, length - 2);
    }
    return std::wstring(text, length);
}

} // namespace

std::wstring IniSnapshot::DecodeText(const std::string& bytes)
{
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t cb = bytes.size();
    if (cb >= 3 && raw[0] == 0xEF && raw[1] == 0xBB && raw[2] == 0xBF)
    {
        return FromCodePage(CP_UTF8, bytes.data() + 3, cb - 3);
    }
    if (cb >= 2 && ((raw[0] == 0xFF && raw[1] == 0xFE) || (raw[0] == 0xFE && raw[1] == 0xFF)))
    {
        const bool isBigEndian = raw[0] == 0xFE;
        std::wstring text((cb - 2) / 2, L'\0');
        for (size_t i = 0; i < text.size(); ++i)
        {
            const unsigned char first = raw[2 + 2 * i];
            const unsigned char second = raw[3 + 2 * i];
            text[i] = static_cast<wchar_t>(isBigEndian ? (first << 8) | second : (second << 8) | first);
        }
        return text;
    }
    return FromCodePage(CP_ACP, bytes.data(), cb);
}

IniSnapshot::IniSnapshot(const std::wstring& path) : m_text(DecodeText(ReadWholeFile(path)))
{
    Parse();
}

std::wstring IniSnapshot::FoldedName(const wchar_t* text, size_t length)
{
    std::wstring folded(text, length);
    for (wchar_t& c : folded)
    {
        c = ToLowerAscii(c);
    }
    return folded;
}

void IniSnapshot::Parse()
{
    m_sections.push_back(Section{});
    const size_t length = m_text.size();
    size_t position = 0;
    while (position < length)
    {
        size_t end = position;
        while (end < length && m_text[end] != L'\n' && m_text[end] != L'\r')
        {
            ++end;
        }
        AddLine(position, end);
        position = end;
        while (position < length && (m_text[position] == L'\n' || m_text[position] == L'\r'))
        {
            ++position;
        }
    }
    m_firstSectionOfName.reserve(m_sections.size());
    for (size_t i = 0; i < m_sections.size(); ++i)
    {
        const Span name = m_sections[i].name;
        m_firstSectionOfName.emplace(FoldedName(m_text.data() + name.begin, name.length), i); // keeps the first
    }
}

IniSnapshot::Span IniSnapshot::Trimmed(size_t begin, size_t end) const noexcept
{
    while (begin < end && IsProfileBlank(m_text[begin]))
    {
        ++begin;
    }
    while (end > begin && IsProfileBlank(m_text[end - 1]))
    {
        --end;
    }
    return Span{begin, end - begin};
}

IniSnapshot::Span IniSnapshot::UpToNul(Span span) const noexcept
{
    for (size_t i = 0; i < span.length; ++i)
    {
        if (m_text[span.begin + i] == L'\0')
        {
            span.length = i;
            break;
        }
    }
    return span;
}

void IniSnapshot::AddLine(size_t begin, size_t end)
{
    const Span line = Trimmed(begin, end);
    if (line.length == 0)
    {
        return;
    }
    const size_t lineEnd = line.begin + line.length;
    if (m_text[line.begin] == L'[')
    {
        size_t close = lineEnd;
        while (close > line.begin && m_text[close - 1] != L']')
        {
            --close;
        }
        // close is one past the last ']'; the opening '[' alone is none.
        if (close > line.begin + 1)
        {
            Section section;
            section.name = UpToNul(Trimmed(line.begin + 1, close - 1));
            section.firstKey = m_keys.size();
            m_sections.push_back(section);
            return;
        }
    }
    Key key;
    size_t equals = line.begin;
    while (equals < lineEnd && m_text[equals] != L'=')
    {
        ++equals;
    }
    if (equals < lineEnd)
    {
        key.name = UpToNul(Trimmed(line.begin, equals));
        key.value = UpToNul(Trimmed(equals + 1, lineEnd));
        key.hasValue = true;
    }
    else
    {
        key.name = UpToNul(line);
    }
    m_keys.push_back(key);
    ++m_sections.back().keyCount;
}

bool IniSnapshot::Equals(Span span, const std::wstring& text, size_t textBegin, size_t textLength) const noexcept
{
    if (span.length != textLength)
    {
        return false;
    }
    for (size_t i = 0; i < textLength; ++i)
    {
        if (ToLowerAscii(m_text[span.begin + i]) != ToLowerAscii(text[textBegin + i]))
        {
            return false;
        }
    }
    return true;
}

const IniSnapshot::Key* IniSnapshot::Find(const std::wstring& section, const std::wstring& key) const
{
    // The names asked for are trimmed as the file's are, and end at a NUL.
    auto trim = [](const std::wstring& text, size_t* begin, size_t* length) {
        size_t end = text.find(L'\0');
        end = end == std::wstring::npos ? text.size() : end;
        size_t start = 0;
        while (start < end && IsProfileBlank(text[start]))
        {
            ++start;
        }
        while (end > start && IsProfileBlank(text[end - 1]))
        {
            --end;
        }
        *begin = start;
        *length = end - start;
    };
    size_t sectionBegin = 0;
    size_t sectionLength = 0;
    trim(section, &sectionBegin, &sectionLength);
    size_t keyBegin = 0;
    size_t keyLength = 0;
    trim(key, &keyBegin, &keyLength);

    const auto first = m_firstSectionOfName.find(FoldedName(section.data() + sectionBegin, sectionLength));
    if (first == m_firstSectionOfName.end())
    {
        return nullptr;
    }
    // Only the first section of the name answers, and in it the first key.
    const Section& found = m_sections[first->second];
    for (size_t i = 0; i < found.keyCount; ++i)
    {
        const Key& candidate = m_keys[found.firstKey + i];
        if (Equals(candidate.name, key, keyBegin, keyLength))
        {
            return &candidate;
        }
    }
    return nullptr;
}

void IniSnapshot::GetSectionNames(std::vector<std::wstring>& names) const
{
    names.clear();
    for (size_t i = 1; i < m_sections.size(); ++i)
    {
        const Span name = m_sections[i].name;
        if (name.length == 0)
        {
            break;
        }
        names.push_back(UnescapeSectionName(m_text.substr(name.begin, name.length)));
    }
}

std::wstring IniSnapshot::GetString(const std::wstring& section, const std::wstring& key,
                                    const std::wstring& defaultValue) const
{
    const Key* found = Find(EscapeSectionName(section), key);
    if (found != nullptr && found->hasValue)
    {
        return WithoutQuotes(m_text.data() + found->value.begin, found->value.length);
    }
    // The default loses its trailing spaces (spaces only) and its quotes.
    size_t length = defaultValue.find(L'\0');
    length = length == std::wstring::npos ? defaultValue.size() : length;
    while (length > 1 && defaultValue[length - 1] == L' ')
    {
        --length;
    }
    return WithoutQuotes(defaultValue.data(), length);
}

int IniSnapshot::GetInt(const std::wstring& section, const std::wstring& key, int defaultValue) const
{
    return ProfileTextToInt(GetString(section, key, std::wstring()), defaultValue);
}
