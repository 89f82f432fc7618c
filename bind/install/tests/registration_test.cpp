#include "bind/control/provider_state.h"
#include "common/catalog_api.h"
#include "bind/core/tests/in_memory_catalog.h"
#include "bind/install/registration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

extern "C" HRESULT WINAPI DllRegisterServer();
extern "C" HRESULT WINAPI DllUnregisterServer();

namespace
{

const wchar_t kInstalledPath[] = L"C:\\Program Files\\Norvex\\NorvexBind.dll";

WSAPROTOCOL_INFOW MakeEntry(const GUID& providerId, int family, int type, int protocol, const wchar_t* name,
                            std::vector<DWORD> chain = {0})
{
    WSAPROTOCOL_INFOW info{};
    info.ProviderId = providerId;
    info.iAddressFamily = family;
    info.iSocketType = type;
    info.iProtocol = protocol;
    info.dwServiceFlags1 = XP1_IFS_HANDLES | XP1_GUARANTEED_DELIVERY;
    info.iMaxSockAddr = 16;
    info.dwMessageSize = 0xFFFF;
    std::wcsncpy(info.szProtocol, name, WSAPROTOCOL_LEN);
    // {0}: a base provider (chain of one, itself).
    info.ProtocolChain.ChainLen = chain.size() == 1 && chain[0] == 0 ? BASE_PROTOCOL : static_cast<int>(chain.size());
    for (size_t i = 0; i < chain.size() && chain[0] != 0; ++i)
    {
        info.ProtocolChain.ChainEntries[i] = chain[i];
    }
    return info;
}

class RegistrationTest : public testing::Test
{
protected:
    void SetUp() override
    {
        std::wcscpy(ProviderPath, kInstalledPath);
    }

    void AddSystemProviders()
    {
        const wchar_t* path = L"%SystemRoot%\\system32\\mswsock.dll";
        m_tcp = m_catalog.AddEntry(MakeEntry(TestGuid(0xE70), AF_INET, SOCK_STREAM, IPPROTO_TCP, L"MSAFD Tcpip [TCP/IP]"), path);
        m_udp = m_catalog.AddEntry(MakeEntry(TestGuid(0xE70), AF_INET, SOCK_DGRAM, IPPROTO_UDP, L"MSAFD Tcpip [UDP/IP]"), path);
        m_raw = m_catalog.AddEntry(MakeEntry(TestGuid(0xE70), AF_INET, SOCK_RAW, 0, L"MSAFD Tcpip [RAW/IP]"), path);
        m_tcp6 = m_catalog.AddEntry(MakeEntry(TestGuid(0xF9E), AF_INET6, SOCK_STREAM, IPPROTO_TCP, L"MSAFD Tcpip [TCP/IPv6]"), path);
        m_udp6 = m_catalog.AddEntry(MakeEntry(TestGuid(0xF9E), AF_INET6, SOCK_DGRAM, IPPROTO_UDP, L"MSAFD Tcpip [UDP/IPv6]"), path);
    }

    const WSAPROTOCOL_INFOW* Find(const wchar_t* name)
    {
        m_entries = m_catalog.Entries();
        for (const auto& entry : m_entries)
        {
            if (std::wcscmp(entry.szProtocol, name) == 0)
            {
                return &entry;
            }
        }
        return nullptr;
    }

    InMemoryCatalog m_catalog;
    std::vector<WSAPROTOCOL_INFOW> m_entries;
    DWORD m_tcp = 0, m_udp = 0, m_raw = 0, m_tcp6 = 0, m_udp6 = 0;
};

TEST_F(RegistrationTest, InstallsItsEntriesInFrontOfTheCatalog)
{
    AddSystemProviders();
    ASSERT_EQ(0, DllRegisterServer());

    const WSAPROTOCOL_INFOW* layered = Find(L"Norvex Bind IP Filter");
    ASSERT_NE(nullptr, layered);
    EXPECT_EQ(LAYERED_PROTOCOL, layered->ProtocolChain.ChainLen);
    EXPECT_EQ(0, std::memcmp(&kBindLayeredProviderId, &layered->ProviderId, sizeof(GUID)));
    EXPECT_EQ(SOCK_RAW, layered->iSocketType) << "a copy of the protocol 0 template";
    const DWORD layeredId = layered->dwCatalogEntryId;

    const struct
    {
        const wchar_t* name;
        int guidIndex;
        int family;
        int protocol;
        DWORD base;
    } chains[] = {
        {L"Norvex Bind TCP Filter", 1, AF_INET, IPPROTO_TCP, m_tcp},
        {L"Norvex Bind UDP Filter", 2, AF_INET, IPPROTO_UDP, m_udp},
        {L"Norvex Bind TCPv6 Filter", 3, AF_INET6, IPPROTO_TCP, m_tcp6},
        {L"Norvex Bind UDPv6 Filter", 4, AF_INET6, IPPROTO_UDP, m_udp6},
    };
    for (const auto& c : chains)
    {
        SCOPED_TRACE(testing::Message() << c.protocol);
        const WSAPROTOCOL_INFOW* chain = Find(c.name);
        ASSERT_NE(nullptr, chain);
        EXPECT_EQ(0, std::memcmp(&BindProviderGuids[c.guidIndex], &chain->ProviderId, sizeof(GUID)));
        EXPECT_EQ(c.protocol, chain->iProtocol);
        EXPECT_EQ(c.family, chain->iAddressFamily);
        EXPECT_EQ(static_cast<DWORD>(XP1_IFS_HANDLES | XP1_GUARANTEED_DELIVERY), chain->dwServiceFlags1);
        ASSERT_EQ(2, chain->ProtocolChain.ChainLen);
        EXPECT_EQ(layeredId, chain->ProtocolChain.ChainEntries[0]);
        EXPECT_EQ(c.base, chain->ProtocolChain.ChainEntries[1]);
    }

    // Our entries in reverse, then the rest as before.
    std::vector<std::wstring> order;
    for (const auto& entry : m_catalog.Entries())
    {
        order.push_back(entry.szProtocol);
    }
    std::vector<std::wstring> expected = {L"Norvex Bind UDPv6 Filter", L"Norvex Bind TCPv6 Filter",
                                          L"Norvex Bind UDP Filter",   L"Norvex Bind TCP Filter",
                                          L"Norvex Bind IP Filter",    L"MSAFD Tcpip [TCP/IP]",
                                          L"MSAFD Tcpip [UDP/IP]",     L"MSAFD Tcpip [RAW/IP]",
                                          L"MSAFD Tcpip [TCP/IPv6]",   L"MSAFD Tcpip [UDP/IPv6]"};
    EXPECT_EQ(expected, order);

    // Removal takes all five, and only those.
    EXPECT_EQ(0, DllUnregisterServer());
    EXPECT_EQ(5u, m_catalog.Entries().size());
    EXPECT_EQ(nullptr, Find(L"Norvex Bind IP Filter"));
    EXPECT_EQ(0, DllUnregisterServer()) << "nothing left to remove is no failure";
}

// Another provider's chains come first, one of them already full: our
// chains still rest directly on the base providers.
TEST_F(RegistrationTest, ChainsRestOnTheBaseProviderBelowOtherLayers)
{
    AddSystemProviders();
    DWORD otherLayer = m_catalog.AddEntry(MakeEntry(TestGuid(0x0E1), AF_INET, SOCK_STREAM, IPPROTO_TCP,
                                                    L"Other layer", {}), L"other.dll");
    m_catalog.AddEntry(MakeEntry(TestGuid(0x0E2), AF_INET, SOCK_STREAM, IPPROTO_TCP, L"Other TCP chain",
                                 {otherLayer, m_tcp}), L"other.dll");
    m_catalog.AddEntry(MakeEntry(TestGuid(0x0E3), AF_INET, SOCK_DGRAM, IPPROTO_UDP, L"Full UDP chain",
                                 {otherLayer, otherLayer, otherLayer, otherLayer, otherLayer, otherLayer, m_udp}),
                       L"other.dll");
    // The other provider's entries stand first, as its installer left them.
    std::vector<DWORD> order;
    for (const auto& entry : m_catalog.Entries())
    {
        order.insert(entry.szProtocol[0] == L'O' || entry.szProtocol[0] == L'F' ? order.begin() : order.end(),
                     entry.dwCatalogEntryId);
    }
    ASSERT_EQ(0, GetCatalogApi().WriteProviderOrder(order.data(), static_cast<DWORD>(order.size())));

    ASSERT_EQ(0, DllRegisterServer());
    const WSAPROTOCOL_INFOW* tcp = Find(L"Norvex Bind TCP Filter");
    const WSAPROTOCOL_INFOW* udp = Find(L"Norvex Bind UDP Filter");
    ASSERT_TRUE(tcp != nullptr && udp != nullptr);
    EXPECT_EQ(2, tcp->ProtocolChain.ChainLen);
    EXPECT_EQ(m_tcp, tcp->ProtocolChain.ChainEntries[1]);
    EXPECT_EQ(2, udp->ProtocolChain.ChainLen) << "a full template chain is not copied";
    EXPECT_EQ(m_udp, udp->ProtocolChain.ChainEntries[1]);
    EXPECT_STREQ(L"Norvex Bind TCP Filter", tcp->szProtocol);
}

TEST_F(RegistrationTest, FailuresStopWhereTheyShould)
{
    // No protocol 0 template: nothing is installed at all.
    const wchar_t* path = L"mswsock.dll";
    DWORD tcp = m_catalog.AddEntry(MakeEntry(TestGuid(0xE70), AF_INET, SOCK_STREAM, IPPROTO_TCP, L"TCP"), path);
    EXPECT_EQ(-1, DllRegisterServer());
    EXPECT_EQ(1u, m_catalog.Entries().size());

    // A RAW and UDP template but no TCP one: the UDP chain is still
    // installed, the result is the TCP failure and the order stays.
    GUID tcpGuid = TestGuid(0xE70);
    int error = 0;
    ASSERT_EQ(0, GetCatalogApi().DeinstallProvider(&tcpGuid, &error));
    (void)tcp;
    m_catalog.AddEntry(MakeEntry(TestGuid(0xE71), AF_INET, SOCK_DGRAM, IPPROTO_UDP, L"UDP"), path);
    m_catalog.AddEntry(MakeEntry(TestGuid(0xE71), AF_INET, SOCK_RAW, 0, L"RAW"), path);
    EXPECT_EQ(-1, DllRegisterServer());
    std::vector<WSAPROTOCOL_INFOW> entries = m_catalog.Entries();
    ASSERT_EQ(4u, entries.size());
    EXPECT_STREQ(L"UDP", entries[0].szProtocol) << "order not rewritten";
    EXPECT_STREQ(L"Norvex Bind UDP Filter", entries[3].szProtocol);
    EXPECT_EQ(0, DllUnregisterServer());
    EXPECT_EQ(2u, m_catalog.Entries().size());
}

// Windows 2000, or XP without IPv6: the IPv4 chains alone, and success.
TEST_F(RegistrationTest, WithoutIpv6EntriesTheIpv4ChainsSuffice)
{
    const wchar_t* path = L"mswsock.dll";
    m_catalog.AddEntry(MakeEntry(TestGuid(0xE70), AF_INET, SOCK_STREAM, IPPROTO_TCP, L"TCP"), path);
    m_catalog.AddEntry(MakeEntry(TestGuid(0xE70), AF_INET, SOCK_DGRAM, IPPROTO_UDP, L"UDP"), path);
    m_catalog.AddEntry(MakeEntry(TestGuid(0xE70), AF_INET, SOCK_RAW, 0, L"RAW"), path);
    EXPECT_EQ(0, DllRegisterServer());
    EXPECT_EQ(6u, m_catalog.Entries().size());
    EXPECT_EQ(nullptr, Find(L"Norvex Bind TCPv6 Filter"));
}

TEST_F(RegistrationTest, RegisteringTwiceFailsWithoutDuplicates)
{
    AddSystemProviders();
    ASSERT_EQ(0, DllRegisterServer());
    EXPECT_EQ(SOCKET_ERROR, DllRegisterServer());
    EXPECT_EQ(10u, m_catalog.Entries().size());
}

// Every failure reaches the installer as a failure: a positive Win32 or
// Winsock code in the place of an HRESULT would read as success.
TEST_F(RegistrationTest, FailuresAreNeverReportedAsSuccess)
{
    AddSystemProviders();
    m_catalog.writeOrderResult = WSAEINVAL;
    HRESULT result = DllRegisterServer();
    EXPECT_TRUE(FAILED(result));
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAEINVAL), result);
    ASSERT_EQ(0, DllUnregisterServer());

    // The order function missing altogether.
    m_catalog.writeOrderResult = 0;
    const CatalogApi* inMemory = &GetCatalogApi();
    CatalogApi withoutOrder = *inMemory;
    withoutOrder.WriteProviderOrder = nullptr;
    SetCatalogApi(&withoutOrder);
    result = DllRegisterServer();
    SetCatalogApi(inMemory);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), result);
}

// Removing one of our entries can fail while the others go: the failure
// is reported even when the layered entry, removed last, went.
TEST_F(RegistrationTest, AFailedRemovalOfOurEntriesIsReported)
{
    AddSystemProviders();
    ASSERT_EQ(0, DllRegisterServer());
    m_catalog.refuseDeinstallOf = BindProviderGuids[2];
    EXPECT_TRUE(FAILED(DllUnregisterServer()));
    EXPECT_NE(nullptr, Find(L"Norvex Bind UDP Filter"));
    EXPECT_EQ(nullptr, Find(L"Norvex Bind IP Filter"));

    m_catalog.refuseDeinstallOf = GUID{};
    EXPECT_EQ(0, DllUnregisterServer()) << "what is left goes; the absent entries are no failure";
    EXPECT_EQ(nullptr, Find(L"Norvex Bind UDP Filter"));
}

TEST(Registration, HelpersOnTheirOwn)
{
    EXPECT_EQ(0, FindGuidIndex(BindProviderGuids, kBindProviderCount, kBindLayeredProviderId));
    EXPECT_EQ(2, FindGuidIndex(BindProviderGuids, kBindProviderCount, BindProviderGuids[2]));
    EXPECT_EQ(-1, FindGuidIndex(BindProviderGuids, kBindProviderCount, TestGuid(1)));

    InMemoryCatalog catalog;
    catalog.AddEntry(MakeEntry(TestGuid(1), AF_INET, SOCK_STREAM, IPPROTO_TCP, L"layered", {}), L"a.dll");
    catalog.AddEntry(MakeEntry(TestGuid(2), AF_INET6, SOCK_STREAM, IPPROTO_TCP, L"v6"), L"a.dll");
    catalog.AddEntry(MakeEntry(TestGuid(3), AF_INET, SOCK_STREAM, IPPROTO_TCP, L"base"), L"a.dll");
    ProtocolCatalog snapshot;
    EXPECT_EQ(2, FindTemplateEntry(snapshot, AF_INET, IPPROTO_TCP)) << "layered entries and other families passed over";
    EXPECT_EQ(1, FindTemplateEntry(snapshot, AF_INET6, IPPROTO_TCP));
    EXPECT_EQ(-1, FindTemplateEntry(snapshot, AF_INET, IPPROTO_UDP));
}

} // namespace
