// IniSnapshot against the profile functions: hand-written files for the
// rules one by one, then thousands of generated application lists, each
// matched for a set of executables through IniSnapshot (what
// DetermineBindType uses) and through IniFile (a profile-function call per
// key), with the same answers required for every file and executable.
#include "common/app_list_match.h"
#include "common/ini_text.h"
#include "tests/support/ini_file.h"
#include "common/ini_snapshot.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD cb = 0;
    if (!bytes.empty())
    {
        ASSERT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr));
    }
    ::CloseHandle(file);
}

std::string Utf16Le(const std::wstring& text, bool isBigEndian = false)
{
    std::string bytes = isBigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : text)
    {
        const char low = static_cast<char>(c & 0xFF);
        const char high = static_cast<char>((c >> 8) & 0xFF);
        bytes += isBigEndian ? high : low;
        bytes += isBigEndian ? low : high;
    }
    return bytes;
}

std::string ToCodePage(UINT codePage, const std::wstring& text)
{
    if (text.empty())
    {
        return std::string();
    }
    const int cb = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &bytes[0], cb, nullptr, nullptr);
    return bytes;
}

std::wstring Printable(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text)
    {
        if (c >= 0x20 && c < 0x7F)
        {
            out += c;
        }
        else
        {
            wchar_t code[12];
            swprintf(code, 12, L"<%x>", static_cast<unsigned>(c));
            out += code;
        }
    }
    return out;
}

std::string Narrow(const std::wstring& text)
{
    return ToCodePage(CP_UTF8, Printable(text));
}

// The same reads, one way and the other.
struct Reads
{
    std::vector<std::wstring> names;
    std::vector<std::wstring> values; // Active, AppFullname, PathFuzzyLevel, ForceWSPBind of each name
};

template <typename Store>
Reads ReadAll(const Store& store)
{
    Reads reads;
    store.GetSectionNames(reads.names);
    for (const std::wstring& name : reads.names)
    {
        for (const wchar_t* key : {L"Active", L"AppFullname", L"PathFuzzyLevel", L"ForceWSPBind"})
        {
            reads.values.push_back(store.GetString(name, key, std::wstring()));
        }
    }
    return reads;
}

// IniFile with each read made once: the generated lists are matched for
// several executables, and the profile functions read the whole file for
// every key.
class ProfileReadsOnce
{
public:
    explicit ProfileReadsOnce(const std::wstring& path) : m_file(path) {}

    void GetSectionNames(std::vector<std::wstring>& names) const
    {
        if (!m_hasNames)
        {
            m_file.GetSectionNames(m_names);
            m_hasNames = true;
        }
        names = m_names;
    }
    std::wstring GetString(const std::wstring& section, const std::wstring& key, const std::wstring& def) const
    {
        auto found = m_strings.find({section, key});
        if (found == m_strings.end())
        {
            found = m_strings.emplace(std::make_pair(section, key), m_file.GetString(section, key, def)).first;
        }
        return found->second;
    }
    int GetInt(const std::wstring& section, const std::wstring& key, int def) const
    {
        return ProfileTextToInt(GetString(section, key, std::wstring()), def);
    }

private:
    IniFile m_file;
    mutable bool m_hasNames = false;
    mutable std::vector<std::wstring> m_names;
    mutable std::map<std::pair<std::wstring, std::wstring>, std::wstring> m_strings;
};

class IniSnapshotTest : public testing::Test
{
protected:
    std::wstring PathOf(const wchar_t* name) { return m_folder.Path() + name; }

    // Both readers give the same names and values for the file.
    void ExpectSameReads(const std::wstring& path)
    {
        const Reads profile = ReadAll(IniFile(path));
        const Reads snapshot = ReadAll(IniSnapshot(path));
        EXPECT_EQ(profile.names, snapshot.names);
        EXPECT_EQ(profile.values, snapshot.values);
    }

    ScratchFolder m_folder;
};

// Each rule on its own, as the profile functions read it; both readers are
// asked, and both must give these answers.
TEST_F(IniSnapshotTest, ReadsAsTheProfileFunctionsRead)
{
    static const struct
    {
        const char* name;
        std::wstring text;
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* expected;
        std::vector<std::wstring> names;
    } cases[] = {
        {"blanks around names and values", L"  [ App ]  \r\n\t Active \t=\t 1 \x1a\r\n", L"App", L"Active", L"1",
         {L"App"}},
        {"case of A to Z only", L"[APP]\r\nACTIVE=1\r\n", L"app", L"active", L"1", {L"APP"}},
        {"other letters keep their case", L"[\u00c4pp]\r\nk=1\r\n", L"\u00e4pp", L"k", L"", {L"\u00c4pp"}},
        {"quotes", L"[a]\r\nk=\"C:\\x y\\z.exe\"\r\n", L"a", L"k", L"C:\\x y\\z.exe", {L"a"}},
        {"single quotes", L"[a]\r\nk='1'\r\n", L"a", L"k", L"1", {L"a"}},
        {"one quote is no pair", L"[a]\r\nk=\"\r\n", L"a", L"k", L"\"", {L"a"}},
        {"first section of a name answers", L"[a]\r\nx=1\r\n[A]\r\nk=2\r\n", L"a", L"k", L"", {L"a", L"A"}},
        {"first key of a name answers", L"[a]\r\nk=1\r\nK=2\r\n", L"a", L"k", L"1", {L"a"}},
        {"a name without value reads as missing", L"[a]\r\nk\r\nk=2\r\n", L"a", L"k", L"", {L"a"}},
        {"value holds further equals signs", L"[a]\r\nk==2\r\n", L"a", L"k", L"=2", {L"a"}},
        // Listed as "a]b", which escapes to "a%5db" when asked for: its keys
        // are out of reach.
        {"a section name ends at the last bracket", L"[a]b]c\r\nk=1\r\n", L"a]b", L"k", L"", {L"a]b"}},
        {"an unclosed bracket is a key", L"[a\r\nk=1\r\n", L"a", L"k", L"", {}},
        {"CR alone ends a line", L"[a]\rk=1\r[b]\rk=2\r", L"b", L"k", L"2", {L"a", L"b"}},
        {"keys before any section", L"k=1\r\n[a]\r\n", L" ", L"k", L"1", {L"a"}},
        {"a comment is a key of its own", L"[a]\r\n;k=1\r\nk=2\r\n", L"a", L"k", L"2", {L"a"}},
        {"escaped names are listed unescaped", L"[b%5bx%5d]\r\nk=1\r\n", L"b[x]", L"k", L"1", {L"b[x]"}},
        {"a hand-written %41 leads to another section", L"[%41]\r\nk=1\r\n[A]\r\nk=2\r\n", L"A", L"k", L"2",
         {L"A", L"A"}},
        {"blanks other than ASCII are text", L"[a]\r\n\u00a0k=1\r\n", L"a", L"k", L"", {L"a"}},
    };
    int n = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::wstring path = m_folder.Path() + L"rule" + std::to_wstring(n++) + L".ini";
        WriteBytes(path, Utf16Le(c.text));
        for (bool isSnapshot : {false, true})
        {
            SCOPED_TRACE(isSnapshot ? "snapshot" : "profile functions");
            std::vector<std::wstring> names;
            std::wstring value;
            if (isSnapshot)
            {
                IniSnapshot list(path);
                list.GetSectionNames(names);
                value = list.GetString(c.section, c.key, std::wstring());
            }
            else
            {
                IniFile list(path);
                list.GetSectionNames(names);
                value = list.GetString(c.section, c.key, std::wstring());
            }
            EXPECT_EQ(Narrow(c.expected), Narrow(value));
            EXPECT_EQ(c.names, names);
        }
    }
}

TEST_F(IniSnapshotTest, EncodingsLongLinesAndUnreadableFiles)
{
    const std::wstring text = L"[App]\r\nAppFullname=C:\\\u00c4pps\\t.exe\r\nLong=" + std::wstring(70000, L'x') + L"\r\n";
    const struct
    {
        const char* name;
        std::string bytes;
    } files[] = {
        {"ANSI", ToCodePage(CP_ACP, text)},
        {"UTF-8 with its mark", "\xEF\xBB\xBF" + ToCodePage(CP_UTF8, text)},
        {"UTF-16 LE", Utf16Le(text)},
        {"UTF-16 BE", Utf16Le(text, true)},
        {"empty", std::string()},
    };
    int n = 0;
    for (const auto& f : files)
    {
        SCOPED_TRACE(f.name);
        const std::wstring path = m_folder.Path() + L"enc" + std::to_wstring(n++) + L".ini";
        WriteBytes(path, f.bytes);
        ExpectSameReads(path);
        if (!f.bytes.empty())
        {
            IniSnapshot list(path);
            EXPECT_EQ(L"C:\\\u00c4pps\\t.exe", list.GetString(L"App", L"AppFullname", std::wstring()));
            EXPECT_EQ(70000u, list.GetString(L"App", L"Long", std::wstring()).size());
        }
    }

    // Missing, and held by a writer that shares nothing: empty both ways.
    ExpectSameReads(PathOf(L"missing.ini"));
    const std::wstring locked = PathOf(L"locked.ini");
    WriteBytes(locked, Utf16Le(L"[App]\r\nActive=1\r\n"));
    HANDLE holder = ::CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    std::vector<std::wstring> names;
    IniSnapshot(locked).GetSectionNames(names);
    EXPECT_TRUE(names.empty());
    ExpectSameReads(locked);
    ::CloseHandle(holder);
}

// --- The generated lists --------------------------------------------------

const wchar_t* const kExecutables[] = {
    L"C:\\Apps\\Browser\\browser.exe",
    L"c:\\apps\\browser\\plugins\\plugin.exe",
    L"C:\\Program Files\\Vendor\\App\\app.exe",
    L"C:\\Program Files (x86)\\Vendor\\Other\\other.exe",
    L"D:\\Games\\Studio\\Game\\bin\\game.exe",
    L"C:\\Users\\ann\\AppData\\Roaming\\Chat\\chat.exe",
    L"C:\\\u00c4pps\\Tool\\tool.exe",
    L"C:\\Windows\\System32\\svchost.exe",
};

const wchar_t* const kFullnames[] = {
    L"C:\\Apps\\Browser\\browser.exe",
    L"C:\\APPS\\BROWSER\\PLUGINS\\x.exe",
    L"C:\\Program Files\\Vendor\\App\\app.exe",
    L"C:\\Program Files\\loose.exe",
    L"C:\\Program Files (x86)\\Vendor\\App\\a.exe",
    L"D:\\Games\\Studio\\Game\\bin\\game.exe",
    L"C:\\Users\\ann\\AppData\\Roaming\\Chat\\chat.exe",
    L"C:\\\u00c4pps\\Tool\\tool.exe",
    L"C:\\\u00e4pps\\Tool\\tool.exe",
    L"C:\\Windows\\System32\\svchost.exe",
    L"\\\\server\\share\\a.exe",
    L"C:\\a",
    L"relative\\a.exe",
    L"",
};

const wchar_t* const kSectionNames[] = {
    L"Browser", L"browser", L"BROWSER", L"Tool X", L"Game", L"%41pp", L"App", L"b%5bx%5d", L"a]b", L"Chat",
    L"%25", L"%20Lead", L"\u00c4pp", L"\u00e4pp", L"Svc", L"x%0ay",
};

class ListGenerator
{
public:
    explicit ListGenerator(unsigned seed) : m_random(seed) {}

    std::string Next()
    {
        std::wstring text;
        const int pieces = Pick(2, 25);
        for (int i = 0; i < pieces; ++i)
        {
            text += Chance(45) ? Entry() : Line() + LineEnd();
        }
        switch (Pick(0, 9))
        {
        case 0:
            return Utf16Le(text);
        case 1:
            return Utf16Le(text, true);
        case 2:
            return "\xEF\xBB\xBF" + ToCodePage(CP_UTF8, text);
        default:
            return ToCodePage(CP_ACP, text);
        }
    }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    bool Chance(int percent) { return Pick(0, 99) < percent; }

    std::wstring Blanks()
    {
        static const wchar_t* const kBlanks[] = {L"", L"", L"", L" ", L"\t", L"  ", L"\x1a", L" \t "};
        return kBlanks[Pick(0, 7)];
    }

    std::wstring LineEnd()
    {
        static const wchar_t* const kEnds[] = {L"\r\n", L"\r\n", L"\r\n", L"\n", L"\r", L"\r\n\r\n", L"\n\r"};
        return Blanks() + kEnds[Pick(0, 6)];
    }

    std::wstring Value()
    {
        switch (Pick(0, 9))
        {
        case 0:
            return L"\"" + Number() + L"\"";
        case 1:
            return L"'" + Number() + L"'";
        default:
            return Number();
        }
    }

    std::wstring Number()
    {
        static const wchar_t* const kNumbers[] = {L"1", L"0", L"2", L"5", L"-1", L"0x10", L"010", L"12abc", L"abc",
                                                  L"", L" 1", L"99", L"3 ; comment"};
        return kNumbers[Pick(0, 12)];
    }

    std::wstring Key()
    {
        static const wchar_t* const kKeys[] = {L"Active", L"active", L"ACTIVE", L"AppFullname", L"appfullname",
                                               L"PathFuzzyLevel", L"pathfuzzylevel", L"ForceWSPBind",
                                               L"UseAsyncMode", L";Active", L"Other"};
        return kKeys[Pick(0, 10)];
    }

    // A section as the VPN client writes one, with blanks and case varied.
    std::wstring Entry()
    {
        std::wstring entry = Blanks() + L"[" + kSectionNames[Pick(0, 15)] + L"]" + LineEnd();
        entry += Blanks() + L"Active" + Blanks() + L"=" + Blanks() + (Chance(80) ? L"1" : Value()) + LineEnd();
        entry += L"AppFullname=" + std::wstring(kFullnames[Pick(0, 9)]) + LineEnd();
        if (Chance(60))
        {
            entry += L"PathFuzzyLevel=" + std::to_wstring(Pick(0, 6)) + LineEnd();
        }
        if (Chance(30))
        {
            entry += Line() + LineEnd();
        }
        return entry;
    }

    std::wstring Line()
    {
        const int kind = Pick(0, 99);
        if (kind < 18)
        {
            // A section header, now and then malformed.
            std::wstring name = kSectionNames[Pick(0, 15)];
            switch (Pick(0, 11))
            {
            case 0:
                return Blanks() + L"[" + name; // never closed
            case 1:
                return L"[" + name + L"]" + Blanks() + L"; trailing text";
            default:
                return Blanks() + L"[" + Blanks() + name + Blanks() + L"]";
            }
        }
        if (kind < 45)
        {
            std::wstring fullname = kFullnames[Pick(0, 13)];
            if (Chance(10))
            {
                fullname = L"\"" + fullname + L"\"";
            }
            if (Chance(3))
            {
                fullname += std::wstring(static_cast<size_t>(Pick(1000, 5000)), L'x');
            }
            return Blanks() + (Chance(80) ? L"AppFullname" : L"appfullname") + Blanks() + L"=" + Blanks() + fullname;
        }
        if (kind < 90)
        {
            return Blanks() + Key() + Blanks() + L"=" + Blanks() + Value();
        }
        switch (Pick(0, 3))
        {
        case 0:
            return Key(); // a name without a value
        case 1:
            return L"=" + Value();
        case 2:
            return L"; " + Key() + L"=1";
        default:
            return L"garbage line without equals";
        }
    }

    std::mt19937 m_random;
};

// A block of seeds per test, so that each stays well inside its time and
// the blocks run side by side.
void RunGeneratedLists(const std::wstring& folder, unsigned firstSeed, int count)
{
    int compared = 0;
    int selected = 0;
    for (int i = 0; i < count; ++i)
    {
        const unsigned seed = firstSeed + static_cast<unsigned>(i);
        // A file name of its own for each list: the profile functions keep
        // recently read files, and may not see a quick rewrite of one.
        const std::wstring path = folder + L"list" + std::to_wstring(seed) + L".ini";
        ListGenerator generator(seed);
        const std::string bytes = generator.Next();
        WriteBytes(path, bytes);

        const ProfileReadsOnce profile(path);
        const IniSnapshot snapshot(path);
        const Reads profileReads = ReadAll(profile);
        const Reads snapshotReads = ReadAll(snapshot);
        EXPECT_EQ(profileReads.names, snapshotReads.names) << "seed " << seed;
        EXPECT_EQ(profileReads.values, snapshotReads.values) << "seed " << seed;
        for (const wchar_t* executable : kExecutables)
        {
            const std::wstring byProfile = MatchApplication(profile, executable);
            const std::wstring bySnapshot = MatchApplication(snapshot, executable);
            EXPECT_EQ(Narrow(byProfile), Narrow(bySnapshot)) << "seed " << seed << ", " << Narrow(executable);
            ++compared;
            selected += bySnapshot.empty() ? 0 : 1;
        }
        ::DeleteFileW(path.c_str());
        if (::testing::Test::HasFailure())
        {
            std::printf("first difference at seed %u\n", seed);
            return;
        }
    }
    std::printf("%d generated lists, %d matches compared, %d of them selecting a section\n", count, compared,
                selected);
    EXPECT_GT(selected, compared / 20) << "the lists select some of the executables";
}

constexpr int kListsPerBlock = 1000;

TEST_F(IniSnapshotTest, GeneratedListsMatchAsThroughTheProfileFunctions1)
{
    RunGeneratedLists(m_folder.Path(), 1, kListsPerBlock);
}

TEST_F(IniSnapshotTest, GeneratedListsMatchAsThroughTheProfileFunctions2)
{
    RunGeneratedLists(m_folder.Path(), 1 + kListsPerBlock, kListsPerBlock);
}

TEST_F(IniSnapshotTest, GeneratedListsMatchAsThroughTheProfileFunctions3)
{
    RunGeneratedLists(m_folder.Path(), 1 + 2 * kListsPerBlock, kListsPerBlock);
}

TEST_F(IniSnapshotTest, GeneratedListsMatchAsThroughTheProfileFunctions4)
{
    RunGeneratedLists(m_folder.Path(), 1 + 3 * kListsPerBlock, kListsPerBlock);
}

} // namespace
