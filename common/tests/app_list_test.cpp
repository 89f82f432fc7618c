#include "common/app_list.h"
#include "tests/support/ini_file.h"
#include "common/product_paths.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace
{

struct Entry
{
    const wchar_t* section;
    const wchar_t* appFullname;
    const wchar_t* active;    // nullptr: key missing
    const wchar_t* fuzzyLevel; // nullptr: key missing
};

void WriteList(const std::wstring& path, std::initializer_list<Entry> entries)
{
    ::DeleteFileW(path.c_str());
    IniFile list(path);
    for (const Entry& e : entries)
    {
        if (e.appFullname != nullptr)
        {
            list.WriteString(e.section, L"AppFullname", e.appFullname);
        }
        if (e.active != nullptr)
        {
            list.WriteString(e.section, L"Active", e.active);
        }
        if (e.fuzzyLevel != nullptr)
        {
            list.WriteString(e.section, L"PathFuzzyLevel", e.fuzzyLevel);
        }
    }
}

struct Case
{
    const wchar_t* exe;
    const wchar_t* section; // expected bind type, L"" for none
};

void ExpectMatches(const std::wstring& listPath, std::initializer_list<Case> cases)
{
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.exe);
        EXPECT_EQ(std::wstring(c.section), DetermineBindTypeFromList(listPath, c.exe).section);
    }
}

class AppListTest : public testing::Test
{
protected:
    ScratchFolder m_folder;
    std::wstring m_path = m_folder.Path() + L"applist.ini";
};

TEST_F(AppListTest, MatchesTheExecutablesFolderAndBelow)
{
    WriteList(m_path, {{L"Tool", L"C:\\Apps\\Vendor\\Tool\\tool.exe", L"1", nullptr}});
    ExpectMatches(m_path, {
        {L"C:\\Apps\\Vendor\\Tool\\tool.exe", L"Tool"},
        {L"C:\\Apps\\Vendor\\Tool\\other.exe", L"Tool"},     // any program in the folder
        {L"c:\\apps\\vendor\\tool\\sub\\x.exe", L"Tool"},    // below it, case ignored
        {L"C:\\APPS\\VENDOR\\TOOL\\X.EXE", L"Tool"},
        {L"C:\\Apps\\Vendor\\Toolbox\\t.exe", L""},          // a prefix ends at a backslash
        {L"C:\\Apps\\Vendor\\x.exe", L""},                   // the parent is not included at level 0
        {L"D:\\Apps\\Vendor\\Tool\\tool.exe", L""},          // another drive
        {L"C:\\Apps\\Vendor\\Tool", L""},                    // shorter than the prefix
        {L"", L""},
    });
}

TEST_F(AppListTest, FuzzyLevelWidensToParentFolders)
{
    WriteList(m_path, {
        {L"Game", L"E:\\Games\\Studio\\Game\\bin\\game.exe", L"1", L"1"},
    });
    ExpectMatches(m_path, {
        {L"E:\\Games\\Studio\\Game\\launcher.exe", L"Game"},
        {L"E:\\Games\\Studio\\Game\\data\\helper.exe", L"Game"},
        {L"E:\\Games\\Studio\\other.exe", L""},
    });

    WriteList(m_path, {{L"Game", L"E:\\Games\\Studio\\Game\\bin\\game.exe", L"1", L"0x2"}});
    ExpectMatches(m_path, {{L"E:\\Games\\Studio\\other.exe", L"Game"}, {L"E:\\Games\\x.exe", L""}});

    // Never up to the drive root.
    WriteList(m_path, {{L"Game", L"E:\\Games\\Studio\\Game\\bin\\game.exe", L"1", L"99"}});
    ExpectMatches(m_path, {{L"E:\\Games\\x.exe", L"Game"}, {L"E:\\x.exe", L""}, {L"E:\\Other\\x.exe", L""}});

    // Negative or non-numeric levels mean the executable's own folder.
    WriteList(m_path, {{L"Game", L"E:\\Games\\Studio\\Game\\bin\\game.exe", L"1", L"-3"}});
    ExpectMatches(m_path, {{L"E:\\Games\\Studio\\Game\\x.exe", L""}, {L"E:\\Games\\Studio\\Game\\bin\\x.exe", L"Game"}});
}

TEST_F(AppListTest, NeverWidensToProtectedFolders)
{
    WriteList(m_path, {
        {L"Browser", L"D:\\Program Files\\Browser\\browser.exe", L"1", L"5"},
        {L"Win", L"c:\\windows\\system32\\tool\\t.exe", L"1", L"5"},
    });
    ExpectMatches(m_path, {
        {L"D:\\Program Files\\Browser\\plugin\\p.exe", L"Browser"},
        {L"D:\\Program Files\\Other\\o.exe", L""},           // stops before Program Files
        {L"C:\\Program Files\\Browser\\browser.exe", L""},   // the entry's own drive only
        {L"C:\\WINDOWS\\system32\\x.exe", L"Win"},            // widened up to system32, not further
        {L"C:\\WINDOWS\\x.exe", L""},
    });

    // The same folders by their Windows Vista and 7 names.
    WriteList(m_path, {
        {L"Tool", L"C:\\Program Files (x86)\\Vendor\\App\\app.exe", L"1", L"2"},
        {L"Roaming", L"C:\\Users\\ann\\AppData\\Roaming\\Chat\\chat.exe", L"1", L"9"},
        {L"Shared", L"C:\\ProgramData\\Vendor\\Updater\\up.exe", L"1", L"5"},
    });
    ExpectMatches(m_path, {
        {L"C:\\Program Files (x86)\\Vendor\\Other\\o.exe", L"Tool"},
        {L"C:\\Program Files (x86)\\Another Vendor\\x.exe", L""}, // not every 32-bit program
        {L"C:\\Users\\ann\\Desktop\\x.exe", L"Roaming"},
        {L"C:\\Users\\bob\\x.exe", L""},
        {L"C:\\ProgramData\\Other\\x.exe", L""},
    });

    // An executable directly inside the protected folder keeps that folder.
    WriteList(m_path, {{L"Loose", L"C:\\Program Files\\loose.exe", L"1", L"3"}});
    ExpectMatches(m_path, {
        {L"C:\\Program Files\\Any\\app.exe", L"Loose"},
        {L"C:\\Other\\app.exe", L""},
    });
}

TEST_F(AppListTest, LongestPrefixWinsAndTheFirstSectionKeepsATie)
{
    WriteList(m_path, {
        {L"Outer", L"C:\\Suite\\suite.exe", L"1", nullptr},
        {L"Inner", L"C:\\Suite\\Module\\module.exe", L"1", nullptr},
        {L"InnerTwin", L"C:\\Suite\\Module\\twin.exe", L"1", nullptr},
    });
    ExpectMatches(m_path, {
        {L"C:\\Suite\\Module\\module.exe", L"Inner"},
        {L"C:\\Suite\\Module\\deep\\x.exe", L"Inner"},
        {L"C:\\Suite\\x.exe", L"Outer"},
    });
}

TEST_F(AppListTest, InactiveAndMalformedEntriesAreSkipped)
{
    WriteList(m_path, {
        {L"Off", L"C:\\A\\a.exe", L"0", nullptr},
        {L"NoKey", L"C:\\A\\a.exe", nullptr, nullptr},
        {L"Word", L"C:\\A\\a.exe", L"yes", nullptr},
        {L"Short", L"C:\\a", L"1", nullptr},
        {L"Relative", L"app\\a.exe", L"1", nullptr},
        {L"NoName", nullptr, L"1", nullptr},
        {L"Unc", L"\\\\server\\share\\a.exe", L"1", nullptr},
    });
    ExpectMatches(m_path, {{L"C:\\A\\a.exe", L""}, {L"\\\\server\\share\\a.exe", L""}});
}

TEST_F(AppListTest, OnlyAToZIgnoreCase)
{
    WriteList(m_path, {{L"Umlaut", L"C:\\\u00C4pps\\a.exe", L"1", nullptr}});
    ExpectMatches(m_path, {{L"C:\\\u00C4PPS\\a.exe", L"Umlaut"}, {L"C:\\\u00E4pps\\a.exe", L""}});
}

TEST_F(AppListTest, SectionNamesComeBackUnescaped)
{
    WriteList(m_path, {{L"My [App] 100%", L"C:\\My App\\app.exe", L"1", nullptr}});
    ExpectMatches(m_path, {{L"C:\\My App\\app.exe", L"My [App] 100%"}});
}

TEST_F(AppListTest, MissingListSelectsNothing)
{
    ExpectMatches(m_path, {{L"C:\\A\\a.exe", L""}});
}

// The provider reads the machine-wide list; this is the one test that writes it.
TEST(AppListFile, DetermineBindTypeReadsTheProductList)
{
    ScopedProductList list;
    WriteList(list.Path(), {{L"Listed", L"C:\\Listed\\listed.exe", L"1", nullptr}});
    EXPECT_EQ(L"Listed", DetermineBindType(L"C:\\Listed\\listed.exe").section);
    EXPECT_EQ(L"", DetermineBindType(L"C:\\Unlisted\\u.exe").section);

    ::DeleteFileW(list.Path().c_str());
    EXPECT_EQ(L"", DetermineBindType(L"C:\\Listed\\listed.exe").section) << "read afresh at every call";
}

} // namespace
