// The catalog verdict on an in-memory catalog: healthy, without our entries,
// with broken chains, missing files and another layered provider above or
// below ours; the catalog of the other bitness holding our entries, lacking
// one, or unreadable; and netsh's listing of it.
#include "lsp_health.h"
#include "other_catalog.h"

#include "bind/core/tests/in_memory_catalog.h"
#include "common/bind_entries.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace
{

WSAPROTOCOL_INFOW Entry(const GUID& providerId, int protocol, const wchar_t* name, std::vector<DWORD> chain)
{
    WSAPROTOCOL_INFOW info{};
    info.ProviderId = providerId;
    info.iAddressFamily = AF_INET;
    info.iProtocol = protocol;
    info.iSocketType = protocol == IPPROTO_TCP ? SOCK_STREAM : protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
    std::wcsncpy(info.szProtocol, name, WSAPROTOCOL_LEN);
    info.ProtocolChain.ChainLen = static_cast<int>(chain.size());
    for (size_t i = 0; i < chain.size() && i < MAX_PROTOCOL_CHAIN; ++i)
    {
        info.ProtocolChain.ChainEntries[i] = chain[i];
    }
    return info;
}

std::vector<std::string> Lines(const std::wstring& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    {
        lines.emplace_back(text.begin() + static_cast<std::ptrdiff_t>(start),
                           text.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return lines;
}

// What the fixture's other catalog is; one catalog only unless a test says.
OtherCatalog g_otherCatalog;
OtherCatalog ReadTestOtherCatalog()
{
    return g_otherCatalog;
}

class LspHealthTest : public testing::Test
{
protected:
    void SetUp() override
    {
        g_otherCatalog = OtherCatalog();
        SetOtherCatalogReader(ReadTestOtherCatalog);
        m_file = m_folder.Path() + L"provider.dll";
        HANDLE file = ::CreateFileW(m_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        ::CloseHandle(file);
        // The system's base providers: one id each, their entries share a file.
        m_tcp = m_catalog.AddEntry(Entry(TestGuid(0xE70), IPPROTO_TCP, L"MSAFD Tcpip [TCP/IP]", {0}), m_file);
        m_udp = m_catalog.AddEntry(Entry(TestGuid(0xE70), IPPROTO_UDP, L"MSAFD Tcpip [UDP/IP]", {0}), m_file);
    }

    // Our layered entry and two chains, in front of everything else.
    void InstallOurs(std::vector<DWORD> tcpMiddle = {})
    {
        m_layered = m_catalog.AddEntry(Entry(BindProviderGuids[0], 0, BindProviderNames[0], {}), m_file);
        std::vector<DWORD> tcpChain = {m_layered};
        tcpChain.insert(tcpChain.end(), tcpMiddle.begin(), tcpMiddle.end());
        tcpChain.push_back(m_tcp);
        m_catalog.AddEntry(Entry(BindProviderGuids[1], IPPROTO_TCP, BindProviderNames[1], tcpChain), m_file);
        m_catalog.AddEntry(Entry(BindProviderGuids[2], IPPROTO_UDP, BindProviderNames[2], {m_layered, m_udp}), m_file);
        MoveToFront({BindProviderNames[2], BindProviderNames[1], BindProviderNames[0]});
    }

    // Puts the named entries first, in the order given.
    void MoveToFront(const std::vector<std::wstring>& names)
    {
        std::vector<DWORD> order;
        const std::vector<WSAPROTOCOL_INFOW> entries = m_catalog.Entries();
        for (const std::wstring& name : names)
        {
            for (const auto& entry : entries)
            {
                if (name == entry.szProtocol)
                {
                    order.push_back(entry.dwCatalogEntryId);
                }
            }
        }
        for (const auto& entry : entries)
        {
            if (std::find(order.begin(), order.end(), entry.dwCatalogEntryId) == order.end())
            {
                order.push_back(entry.dwCatalogEntryId);
            }
        }
        ASSERT_EQ(0, GetCatalogApi().WriteProviderOrder(order.data(), static_cast<DWORD>(order.size())));
    }

    void TearDown() override { SetOtherCatalogReader(nullptr); }

    ScratchFolder m_folder;
    InMemoryCatalog m_catalog;
    std::wstring m_file;
    DWORD m_tcp = 0, m_udp = 0, m_layered = 0;
};

TEST_F(LspHealthTest, HealthyCatalogIsOk)
{
    InstallOurs();
    const std::vector<std::string> expected = {
        "OK: Norvex Bind IP Filter is installed (catalog id " + std::to_string(m_layered) + ")",
        "OK: Norvex Bind TCP Filter is installed (catalog id " + std::to_string(m_layered + 1) + ")",
        "OK: Norvex Bind UDP Filter is installed (catalog id " + std::to_string(m_layered + 2) + ")",
        "OK: Norvex Bind TCP Filter comes first for IPv4 TCP",
        "OK: Norvex Bind UDP Filter comes first for IPv4 UDP",
        "OK: every chain names catalog ids that exist",
        "OK: the files of all providers exist",
        "OK: no other layered provider sits above or below ours",
        "LSP Health: OK",
    };
    EXPECT_EQ(expected, Lines(LspHealthText()));
}

TEST_F(LspHealthTest, WithoutOurEntriesTheBaseProvidersComeFirst)
{
    const std::vector<std::string> expected = {
        "Problem: Norvex Bind IP Filter is not installed",
        "Problem: Norvex Bind TCP Filter is not installed",
        "Problem: Norvex Bind UDP Filter is not installed",
        "Problem: \"MSAFD Tcpip [TCP/IP]\" comes first for IPv4 TCP, before Norvex Bind TCP Filter",
        "Problem: \"MSAFD Tcpip [UDP/IP]\" comes first for IPv4 UDP, before Norvex Bind UDP Filter",
        "OK: every chain names catalog ids that exist",
        "OK: the files of all providers exist",
        "LSP Health: 5 problem(s)",
    };
    EXPECT_EQ(expected, Lines(LspHealthText()));
}

TEST_F(LspHealthTest, BrokenChainsAndMissingFilesAreNamed)
{
    InstallOurs();
    // A provider uninstalled badly: its chain names a layer that is gone,
    // and another entry claims more chain than there is.
    m_catalog.AddEntry(Entry(TestGuid(0xBAD), IPPROTO_TCP, L"Leftover chain", {9999, m_tcp}), m_file);
    WSAPROTOCOL_INFOW damaged = Entry(TestGuid(0xBAE), IPPROTO_UDP, L"Damaged chain", {m_udp, m_udp});
    damaged.ProtocolChain.ChainLen = 1000;
    m_catalog.AddEntry(damaged, m_file);
    // And one whose file, behind an environment variable, is not there.
    ::SetEnvironmentVariableW(L"NORVEX_TEST_FOLDER", m_folder.Path().c_str());
    m_catalog.AddEntry(Entry(TestGuid(0xF00), 0, L"Gone provider", {}), L"%NORVEX_TEST_FOLDER%gone.dll");

    const std::wstring text = LspHealthText();
    const std::vector<std::string> lines = Lines(text);
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("Problem: \"Leftover chain\" (catalog id " + std::to_string(m_layered + 3) +
                    ") names catalog id 9999, which is not in the catalog"));
    EXPECT_TRUE(has("Problem: \"Damaged chain\" (catalog id " + std::to_string(m_layered + 4) +
                    ") claims a chain of 1000 entries; at most 7 exist"));
    std::string gone(m_folder.Path().begin(), m_folder.Path().end());
    EXPECT_TRUE(has("Problem: the file of \"Gone provider\" is missing: " + gone + "gone.dll"));
    EXPECT_EQ("LSP Health: 3 problem(s)", lines.back());
}

TEST_F(LspHealthTest, AnotherLayeredProviderAboveOrBelowOursIsNamed)
{
    const DWORD below = m_catalog.AddEntry(Entry(TestGuid(0xB10), 0, L"Below Filter", {}), m_file);
    InstallOurs({below});
    // Another provider that layered itself on top of our TCP chain.
    const DWORD above = m_catalog.AddEntry(Entry(TestGuid(0xAB0), 0, L"Above Filter", {}), m_file);
    m_catalog.AddEntry(Entry(TestGuid(0xAB1), IPPROTO_TCP, L"Above TCP chain", {above, m_layered, below, m_tcp}),
                       m_file);
    MoveToFront({L"Above TCP chain"});

    const std::vector<std::string> lines = Lines(LspHealthText());
    const std::vector<std::string> expected = {
        "Problem: \"Above TCP chain\" comes first for IPv4 TCP, before Norvex Bind TCP Filter",
        "Problem: another layered provider, \"Above Filter\", sits above ours in \"Above TCP chain\"",
        "Problem: another layered provider, \"Below Filter\", sits below ours in \"Above TCP chain\"",
        "Problem: another layered provider, \"Below Filter\", sits below ours in \"Norvex Bind TCP Filter\"",
        "LSP Health: 4 problem(s)",
    };
    std::vector<std::string> problems;
    for (const std::string& line : lines)
    {
        if (line.rfind("Problem: ", 0) == 0 || line.rfind("LSP Health: ", 0) == 0)
        {
            problems.push_back(line);
        }
    }
    EXPECT_EQ(expected, problems);
}

TEST_F(LspHealthTest, TheOtherBitnessCatalogHoldingOursOrNot)
{
    InstallOurs();
    g_otherCatalog.bits = 64;
    g_otherCatalog.isRead = true;
    g_otherCatalog.providerIds = {TestGuid(0xE70), BindProviderGuids[2], BindProviderGuids[0], BindProviderGuids[1]};
    std::vector<std::string> lines = Lines(LspHealthText());
    ASSERT_LE(4u, lines.size());
    EXPECT_EQ((std::vector<std::string>{"OK: the 64-bit catalog holds Norvex Bind IP Filter",
                                        "OK: the 64-bit catalog holds Norvex Bind TCP Filter",
                                        "OK: the 64-bit catalog holds Norvex Bind UDP Filter", "LSP Health: OK"}),
              std::vector<std::string>(lines.end() - 4, lines.end()));

    g_otherCatalog.bits = 32;
    g_otherCatalog.providerIds = {TestGuid(0xE70), BindProviderGuids[1]};
    lines = Lines(LspHealthText());
    EXPECT_EQ((std::vector<std::string>{
                  "Problem: the 32-bit catalog lacks Norvex Bind IP Filter: 32-bit programs are not bound",
                  "OK: the 32-bit catalog holds Norvex Bind TCP Filter",
                  "Problem: the 32-bit catalog lacks Norvex Bind UDP Filter: 32-bit programs are not bound",
                  "LSP Health: 2 problem(s)"}),
              std::vector<std::string>(lines.end() - 4, lines.end()));
}

TEST_F(LspHealthTest, AnUnreadableOtherCatalogIsSaidPlainlyAndNotCounted)
{
    InstallOurs();
    g_otherCatalog.bits = 64;
    g_otherCatalog.whyNot = L"\"netsh\" gave no catalog listing";
    const std::vector<std::string> lines = Lines(LspHealthText());
    ASSERT_LE(2u, lines.size());
    EXPECT_EQ("Cannot tell: whether the 64-bit catalog holds our entries: \"netsh\" gave no catalog listing",
              lines[lines.size() - 2]);
    EXPECT_EQ("LSP Health: OK", lines.back());
}

// Two entries as netsh prints them: the ids are what is read, in order,
// whatever the labels' language.
TEST(OtherCatalog, ReadsTheProviderIdsOfANetshListing)
{
    const std::string listing =
        "\r\n\r\nWinsock Catalog Provider Entry\r\n------------------------------------------------------\r\n"
        "Entry Type:                         Base Service Provider\r\n"
        "Description:                        MSAFD Tcpip [TCP/IP]\r\n"
        "Provider ID:                        {E70F1AA0-AB8B-11CF-8CA3-00805F48A192}\r\n"
        "Provider Path:                      %SystemRoot%\\system32\\mswsock.dll\r\n"
        "Catalog Entry ID:                   1001\r\n\r\n"
        "Winsock Catalog Provider Entry\r\n------------------------------------------------------\r\n"
        "Entry Type:                         Layered Chain Entry (32)\r\n"
        "Description:                        Norvex Bind TCP Filter\r\n"
        "Provider-ID:                        {12345678-9abc-def0-1122-334455667788}\r\n"
        "Chain {not a guid} and a cut one {E70F1AA0-AB8B-11CF-8CA3-00805F48A1\r\n";
    std::vector<GUID> ids;
    ASSERT_TRUE(ParseCatalogListing(listing, &ids));
    ASSERT_EQ(2u, ids.size());
    const GUID first = {0xE70F1AA0, 0xAB8B, 0x11CF, {0x8C, 0xA3, 0x00, 0x80, 0x5F, 0x48, 0xA1, 0x92}};
    const GUID second = {0x12345678, 0x9ABC, 0xDEF0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
    EXPECT_EQ(0, std::memcmp(&first, &ids[0], sizeof(GUID)));
    EXPECT_EQ(0, std::memcmp(&second, &ids[1], sizeof(GUID)));

    // What a netsh without the winsock context prints: no listing.
    EXPECT_FALSE(ParseCatalogListing("The following command was not found: winsock show catalog.\r\n", &ids));
    EXPECT_TRUE(ids.empty());
    EXPECT_FALSE(ParseCatalogListing("", &ids));
    EXPECT_FALSE(ParseCatalogListing("{E70F1AA0-AB8B-11CF-8CA3-00805F48A192", &ids));
}

// The system's catalogs, as the report shows them under Wine: our entries
// are missing from this program's (Wine's catalog installs nothing), and the
// other bitness's catalog is either read or said to be unreadable.
TEST(LspHealth, OnTheSystemsCatalogs)
{
    const std::wstring text = LspHealthText();
    EXPECT_NE(std::wstring::npos, text.find(L"Problem: Norvex Bind IP Filter is not installed\r\n"));
    EXPECT_NE(std::wstring::npos, text.find(L"\r\nLSP Health: "));
    const OtherCatalog other = ReadOtherCatalog();
    const std::wstring otherBits = std::to_wstring(other.bits);
    if (other.bits != 0)
    {
        EXPECT_EQ(sizeof(void*) == 8 ? 32 : 64, other.bits);
        EXPECT_TRUE(text.find(L"Cannot tell: whether the " + otherBits + L"-bit catalog holds our entries: ") !=
                        std::wstring::npos ||
                    text.find(L": the " + otherBits + L"-bit catalog ") != std::wstring::npos)
            << std::string(text.begin(), text.end());
        EXPECT_TRUE(other.isRead ? !other.providerIds.empty() : !other.whyNot.empty());
    }
}

} // namespace
