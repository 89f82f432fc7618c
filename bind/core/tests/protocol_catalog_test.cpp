#include "bind/core/protocol_catalog.h"
#include "bind/core/tests/in_memory_catalog.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

const wchar_t kVersionDll[] = L"%SystemRoot%\\system32\\version.dll";
const wchar_t kMsimgDll[] = L"%SystemRoot%\\system32\\msimg32.dll";
const wchar_t kMissingDll[] = L"%SystemRoot%\\system32\\no-such-provider.dll";

WSAPROTOCOLCHAIN Chain(std::initializer_list<DWORD> ids)
{
    WSAPROTOCOLCHAIN chain{};
    for (DWORD id : ids)
    {
        chain.ChainEntries[chain.ChainLen++] = id;
    }
    return chain;
}

// The file name of a loaded module, lower case, or "(none)".
std::wstring FileNameOf(HMODULE module)
{
    if (module == nullptr)
    {
        return L"(none)";
    }
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring name(path);
    name = name.substr(name.find_last_of(L'\\') + 1);
    for (wchar_t& c : name)
    {
        c = static_cast<wchar_t>(towlower(c));
    }
    return name;
}

std::wstring LoadNext(const WSAPROTOCOLCHAIN& chain)
{
    ProtocolCatalog snapshot;
    return FileNameOf(LoadNextLayerDll(snapshot, chain, kBindLayeredProviderId));
}

TEST(NextLayer, LoadsTheEntryAfterOurOwn)
{
    InMemoryCatalog catalog;
    DWORD own = catalog.Add(kBindLayeredProviderId, L"%SystemRoot%\\system32\\NorvexBind.dll");
    DWORD other = catalog.Add(TestGuid(1), kMsimgDll);
    DWORD base = catalog.Add(TestGuid(2), kVersionDll);
    DWORD missing = catalog.Add(TestGuid(3), kMissingDll);
    DWORD skipped = catalog.Add(TestGuid(4), L"%SystemRoot%\\system32\\gamelink.DLL");

    static const struct
    {
        const char* name;
        std::initializer_list<DWORD> chain;
        const wchar_t* loaded;
    } cases[] = {
        {"chain of two, own first", {own, base}, L"version.dll"},
        {"own in the middle: the ones before are ignored", {other, own, base}, L"version.dll"},
        {"a library that does not load is passed over", {own, missing, base}, L"version.dll"},
        {"skip-list name in another letter case", {own, skipped, base}, L"version.dll"},
        {"skip-list entry last", {own, skipped}, L"mswsock.dll"},
        {"nothing loads", {own, missing}, L"mswsock.dll"},
        {"own entry last", {base, own}, L"mswsock.dll"},
        {"own entry not in the chain", {other, base}, L"mswsock.dll"},
        {"entry id not in the catalog", {own, 9999, base}, L"version.dll"},
        {"own entry twice: tried from each", {own, missing, own, other}, L"msimg32.dll"},
        {"empty chain", {}, L"mswsock.dll"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.loaded, LoadNext(Chain(c.chain)));
    }
}

TEST(NextLayer, OwnEntryMissingFromTheCatalogFallsBack)
{
    InMemoryCatalog catalog;
    DWORD base = catalog.Add(TestGuid(2), kVersionDll);
    // 0 is what the lookup yields for a missing own entry; a chain holding 0
    // must not match it.
    EXPECT_EQ(L"mswsock.dll", LoadNext(Chain({0, base})));

    catalog.failEnumeration = true;
    EXPECT_EQ(L"mswsock.dll", LoadNext(Chain({0, base})));
}

// Our own entry's library loads (it is this provider): standing twice in a
// chain it must never be taken as its own next layer.
TEST(NextLayer, NeverLoadsItsOwnLibraryAsTheNextLayer)
{
    InMemoryCatalog catalog;
    DWORD own = catalog.Add(kBindLayeredProviderId, kMsimgDll);
    DWORD missing = catalog.Add(TestGuid(3), kMissingDll);
    DWORD base = catalog.Add(TestGuid(2), kVersionDll);

    static const struct
    {
        const char* name;
        std::initializer_list<DWORD> chain;
        const wchar_t* loaded;
    } cases[] = {
        {"own entry right after itself", {own, own, base}, L"version.dll"},
        {"own entry again after a failed one", {own, missing, own, base}, L"version.dll"},
        {"own entry again, last", {own, missing, own}, L"mswsock.dll"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.loaded, LoadNext(Chain(c.chain)));
    }
}

TEST(NextLayer, OversizedChainLengthIsBoundedByTheChainType)
{
    InMemoryCatalog catalog;
    DWORD own = catalog.Add(kBindLayeredProviderId, L"own.dll");
    WSAPROTOCOLCHAIN chain = Chain({own, 9999, 9999, 9999, 9999, 9999, 9999});
    chain.ChainLen = 1000;
    EXPECT_EQ(L"mswsock.dll", LoadNext(chain));
}

TEST(ProtocolCatalog, SnapshotAndLookups)
{
    InMemoryCatalog catalog;
    DWORD first = catalog.Add(TestGuid(7), L"first.dll");
    DWORD second = catalog.Add(TestGuid(7), L"second.dll");
    ProtocolCatalog snapshot;
    ASSERT_EQ(2, snapshot.Count());
    EXPECT_EQ(first, snapshot.FindCatalogEntryId(TestGuid(7))) << "the first entry with the id";
    EXPECT_NE(first, second);
    EXPECT_EQ(0u, snapshot.FindCatalogEntryId(TestGuid(8)));

    wchar_t path[kLayerPathChars];
    EXPECT_EQ(10, snapshot.GetLayerPath(first, path));
    EXPECT_STREQ(L"first.dll", path);
    EXPECT_EQ(0, snapshot.GetLayerPath(12345, path));

    catalog.failEnumeration = true;
    ProtocolCatalog empty;
    EXPECT_EQ(0, empty.Count());
    EXPECT_EQ(nullptr, empty.Entries());
}

TEST(ProtocolCatalog, ExpandsVariablesAndRefusesOverlongPaths)
{
    InMemoryCatalog catalog;
    DWORD expanded = catalog.Add(TestGuid(1), L"%NORVEX_TEST_DIR%\\layer.dll");
    ::SetEnvironmentVariableW(L"NORVEX_TEST_DIR", L"C:\\layers");
    ProtocolCatalog snapshot;
    wchar_t path[kLayerPathChars + 16];
    EXPECT_EQ(20, snapshot.GetLayerPath(expanded, path));
    EXPECT_STREQ(L"C:\\layers\\layer.dll", path);

    // Expanded to more than the buffer holds: refused, and nothing written
    // past the 260 characters.
    for (size_t length : {248u, 249u, 250u, 400u})
    {
        SCOPED_TRACE(length);
        std::wstring longDir = L"C:\\" + std::wstring(length - 3, L'd');
        ::SetEnvironmentVariableW(L"NORVEX_TEST_DIR", longDir.c_str());
        std::fill(std::begin(path), std::end(path), L'#');
        int result = snapshot.GetLayerPath(expanded, path);
        size_t needed = longDir.size() + std::wcslen(L"\\layer.dll") + 1;
        if (needed <= kLayerPathChars)
        {
            EXPECT_EQ(static_cast<int>(needed), result);
        }
        else
        {
            EXPECT_EQ(0, result);
        }
        for (size_t i = kLayerPathChars; i < std::size(path); ++i)
        {
            ASSERT_EQ(L'#', path[i]);
        }
    }
    ::SetEnvironmentVariableW(L"NORVEX_TEST_DIR", nullptr);
}

TEST(ProtocolCatalog, ReadsTheSystemCatalog)
{
    ProtocolCatalog snapshot;
    ASSERT_GT(snapshot.Count(), 0);
    for (int i = 0; i < snapshot.Count(); ++i)
    {
        const WSAPROTOCOL_INFOW& entry = snapshot.Entries()[i];
        DWORD found = snapshot.FindCatalogEntryId(entry.ProviderId);
        EXPECT_NE(0u, found);
    }
}

TEST(FindSubstringNoCase, FindsThePatternAnywhere)
{
    static const struct
    {
        const wchar_t* text;
        const wchar_t* pattern;
        int position; // -1: not found
    } cases[] = {
        {L"C:\\x\\GameLink.dll", L"GameLink.dll", 5},
        {L"c:\\x\\gamelink.dll", L"GameLink.dll", 5},
        {L"C:\\GAMELINK.DLL.bak", L"GameLink.dll", 3},
        {L"C:\\GameLink.dl", L"GameLink.dll", -1},
        {L"", L"GameLink.dll", -1},
        {L"abc", L"", 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.text);
        const wchar_t* found = FindSubstringNoCase(c.text, c.pattern);
        EXPECT_EQ(c.position, found == nullptr ? -1 : static_cast<int>(found - c.text));
    }
}

} // namespace
