#include "common/ansi_text.h"
#include "report_text.h"
#include "system_probes.h"

#include "bind/core/tests/in_memory_catalog.h"
#include "common/product_paths.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text does not end in a line end";
    return lines;
}

// Version data the fake GetVersionExW hands out: the short form, and the
// extended form for callers that ask for it.
OSVERSIONINFOEXW g_version;
int g_shortCalls;
int g_extendedCalls;
bool g_refuseExtended;

BOOL WINAPI FakeGetVersionEx(LPOSVERSIONINFOW info)
{
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW))
    {
        ++g_extendedCalls;
        if (g_refuseExtended)
        {
            return FALSE;
        }
        *reinterpret_cast<OSVERSIONINFOEXW*>(info) = g_version;
        return TRUE;
    }
    ++g_shortCalls;
    memcpy(info, &g_version, sizeof(OSVERSIONINFOW));
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    // The short form carries a build that must not be used where the
    // extended form is available.
    info->dwBuildNumber = 1;
    return TRUE;
}

struct FakeVersion
{
    FakeVersion() { g_pfnGetVersionEx = FakeGetVersionEx; }
    ~FakeVersion() { g_pfnGetVersionEx = ::GetVersionExW; }
};

} // namespace

TEST(OsVersionText, EveryRowOfTheNameTable)
{
    static const struct
    {
        DWORD platform, major, minor, build;
        BYTE productType;
        const wchar_t* servicePack;
        const wchar_t* expected;
    } cases[] = {
        { VER_PLATFORM_WIN32s, 3, 11, 0, 0, L"", L"Windows(Win32s) 3.11" },
        { VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0, 0, L"", L"Windows 95" },
        { VER_PLATFORM_WIN32_WINDOWS, 7, 0, 0, 0, L"", L"Windows 95" }, // the major is not looked at
        { VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0, 0, L"", L"Windows 98" },
        { VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0, 0, L"", L"Windows Me" },
        { VER_PLATFORM_WIN32_WINDOWS, 4, 20, 0, 0, L"", L"Windows 4.20" },
        { VER_PLATFORM_WIN32_NT, 5, 0, 2195, 1, L"Service Pack 4", L"Windows 2000 Build 2195 Service Pack 4" },
        { VER_PLATFORM_WIN32_NT, 5, 1, 2600, 1, L"Service Pack 3", L"Windows XP Build 2600 Service Pack 3" },
        { VER_PLATFORM_WIN32_NT, 5, 1, 2600, 1, L"", L"Windows XP Build 2600 " },
        { VER_PLATFORM_WIN32_NT, 5, 2, 3790, 3, L"Service Pack 2", L"Windows 2003 Build 3790 Service Pack 2" },
        { VER_PLATFORM_WIN32_NT, 6, 0, 6002, 1, L"Service Pack 2", L"Windows Vista Build 6002 Service Pack 2" },
        { VER_PLATFORM_WIN32_NT, 6, 0, 6002, 3, L"Service Pack 2", L"Windows 2008 Build 6002 Service Pack 2" },
        { VER_PLATFORM_WIN32_NT, 6, 0, 6001, 2, L"", L"Windows 2008 Build 6001 " },
        { VER_PLATFORM_WIN32_NT, 6, 1, 7601, 1, L"Service Pack 1", L"Windows 7 Build 7601 Service Pack 1" },
        { VER_PLATFORM_WIN32_NT, 6, 1, 7600, 3, L"", L"Windows 7 Build 7600 " },
        { VER_PLATFORM_WIN32_NT, 6, 2, 9200, 1, L"", L"Windows NT 6.2 Build 9200 " },
        { VER_PLATFORM_WIN32_NT, 4, 0, 1381, 1, L"Service Pack 6", L"Windows NT 4.0 Build 1381 Service Pack 6" },
        { 3, 10, 0, 0, 0, L"", L"" },
    };
    FakeVersion fake;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.expected);
        g_version = {};
        g_version.dwOSVersionInfoSize = sizeof(g_version);
        g_version.dwPlatformId = c.platform;
        g_version.dwMajorVersion = c.major;
        g_version.dwMinorVersion = c.minor;
        g_version.dwBuildNumber = c.build;
        g_version.wProductType = c.productType;
        wcscpy(g_version.szCSDVersion, c.servicePack);
        g_refuseExtended = false;
        g_shortCalls = g_extendedCalls = 0;
        EXPECT_EQ(GetOsVersionText(), c.expected);
        EXPECT_EQ(g_shortCalls, 1);
        EXPECT_EQ(g_extendedCalls, c.platform == VER_PLATFORM_WIN32_NT ? 1 : 0);
    }
}

TEST(OsVersionText, NtWithoutTheExtendedFormUsesTheShortOne)
{
    FakeVersion fake;
    g_version = {};
    g_version.dwPlatformId = VER_PLATFORM_WIN32_NT;
    g_version.dwMajorVersion = 4;
    wcscpy(g_version.szCSDVersion, L"Service Pack 5");
    g_refuseExtended = true;
    EXPECT_EQ(GetOsVersionText(), L"Windows NT 4.0 Build 1 Service Pack 5");
}

TEST(ProcessListText, OwnProcessWithItsCreateTimeParentAndModules)
{
    PROCESSENTRY32W self = {};
    self.dwSize = sizeof(self);
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    for (BOOL more = ::Process32FirstW(snapshot, &self); more && self.th32ProcessID != ::GetCurrentProcessId();
         more = ::Process32NextW(snapshot, &self))
    {
    }
    ::CloseHandle(snapshot);
    ASSERT_EQ(self.th32ProcessID, ::GetCurrentProcessId());
    const std::wstring ownLine = FormatText(L"[%d] %ls, CreateTime = %I64d, ParentID=%d", self.th32ProcessID,
                                            self.szExeFile, GetProcessCreateTime(self.th32ProcessID),
                                            self.th32ParentProcessID);
    wchar_t exePath[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, exePath, MAX_PATH);

    const std::wregex processLine(LR"(\[\d+\] .*, CreateTime = -?\d+, ParentID=\d+)");
    const std::wregex moduleLine(LR"(    \[0x[0-9a-f]{8}\] [^,]+, .+)");
    const std::wregex moduleFailure(LR"(    (CreateToolhelp32Snapshot \(of modules\)|Module32First) failed \d+\.)");
    for (bool full : { false, true })
    {
        SCOPED_TRACE(full ? "full module list" : "first module only");
        const std::vector<std::wstring> lines = Lines(ProcessListText(full));
        std::vector<int> moduleCounts;
        std::vector<std::wstring> ownModules;
        bool isOwn = false;
        bool isProcessZero = false;
        for (const std::wstring& line : lines)
        {
            if (std::regex_match(line, processLine))
            {
                moduleCounts.push_back(0);
                isOwn = line == ownLine;
                isProcessZero = line.compare(0, 4, L"[0] ") == 0;
                continue;
            }
            ASSERT_FALSE(moduleCounts.empty()) << "module line before any process";
            EXPECT_FALSE(isProcessZero) << "process 0 has no module lines";
            ASSERT_TRUE(std::regex_match(line, moduleLine) || std::regex_match(line, moduleFailure))
                << std::string(line.begin(), line.end());
            ++moduleCounts.back();
            if (isOwn)
            {
                ownModules.push_back(line);
            }
        }
        ASSERT_FALSE(ownModules.empty()) << "own process missing or without modules";
        // The first module is the executable image.
        EXPECT_NE(ownModules[0].find(std::wstring(L", ") + exePath), std::wstring::npos);
        if (full)
        {
            EXPECT_GT(ownModules.size(), 3u);
            bool hasNtdll = false;
            for (const std::wstring& module : ownModules)
            {
                hasNtdll |= module.find(L"] ntdll.dll, ") != std::wstring::npos;
            }
            EXPECT_TRUE(hasNtdll);
        }
        else
        {
            for (int count : moduleCounts)
            {
                EXPECT_LE(count, 1);
            }
        }
    }
}

TEST(LspListText, EntriesChainsAndPathsFromTheCatalog)
{
    InMemoryCatalog catalog;
    const std::wstring basePath = L"%SystemRoot%\\system32\\mswsock.dll";
    const std::wstring ownPath = L"C:\\Program Files\\Norvex\\NorvexBind.dll";
    // Catalog ids are handed out from 2001 on; a base provider's chain names
    // its own entry.
    const DWORD baseId = catalog.Add(TestGuid(1), basePath, 0x20066, { 2001 });
    const DWORD layeredId = catalog.Add(TestGuid(2), ownPath);
    // A path longer than the probe's 260-character buffer cannot be read.
    const DWORD longPathId = catalog.Add(TestGuid(0xabcdef12), L"C:\\" + std::wstring(300, L'a'), 0, { 2003 });
    const DWORD chainId = catalog.Add(TestGuid(4), ownPath, 0x20066, { layeredId, 4711, longPathId, baseId });
    ASSERT_EQ(baseId, 2001u);
    ASSERT_EQ(longPathId, 2003u);

    auto header = [](const wchar_t* guid, DWORD id, unsigned flags) {
        return FormatText(L" LSP Entry ProviderId={%ls}, CagalogEntryId=%d\r\n"
                          L"   ProtocolName=, ServiceFlags1=0x%x, ProviderFlags=0x0\r\n"
                          L"   Version=0, AddressFamily=0\r\n   SocketType=0, Protocol=0\r\n",
                          guid, id, flags);
    };
    const std::wstring expected =
        header(L"00000001-0000-0000-0000-000000000000", baseId, 0x20066) +
        L"   Chain=2001, Path=" + basePath + L"\r\n" +
        // The layered entry has no chain lines.
        header(L"00000002-0000-0000-0000-000000000000", layeredId, 0) +
        // A failed path lookup: its line first, then the chain line with an
        // empty path.
        header(L"abcdef12-0000-0000-0000-000000000000", longPathId, 0) +
        L"WSCGetProviderPath failed. 10014\r\n   Chain=2003, Path=\r\n" +
        // Id 4711 is not in the catalog: no line for that position.
        header(L"00000004-0000-0000-0000-000000000000", chainId, 0x20066) +
        L"   Chain=2002, Path=" + ownPath + L"\r\n" +
        L"WSCGetProviderPath failed. 10014\r\n   Chain=2003, Path=\r\n" +
        L"   Chain=2001, Path=" + basePath + L"\r\n";
    EXPECT_EQ(GetLspListText(), expected);
}

TEST(LspListText, DamagedChainLengthReadsNoFurtherThanTheChain)
{
    InMemoryCatalog catalog;
    WSAPROTOCOL_INFOW entry = {};
    entry.ProviderId = TestGuid(9);
    entry.ProtocolChain.ChainLen = 1000;
    for (DWORD& id : entry.ProtocolChain.ChainEntries)
    {
        id = 2001;
    }
    catalog.AddEntry(entry, L"C:\\x.dll");
    const std::wstring text = GetLspListText();
    size_t chainLines = 0;
    for (size_t at = 0; (at = text.find(L"   Chain=2001, Path=C:\\x.dll\r\n", at)) != std::wstring::npos; ++at)
    {
        ++chainLines;
    }
    EXPECT_EQ(chainLines, static_cast<size_t>(MAX_PROTOCOL_CHAIN));
}

TEST(LspListText, WineCatalogListsEveryEntry)
{
    DWORD cbEntries = 0;
    int error = 0;
    ::WSCEnumProtocols(nullptr, nullptr, &cbEntries, &error);
    const size_t count = cbEntries / sizeof(WSAPROTOCOL_INFOW);
    ASSERT_GT(count, 0u);
    const std::vector<std::wstring> lines = Lines(GetLspListText());
    size_t entryLines = 0;
    for (const std::wstring& line : lines)
    {
        entryLines += line.rfind(L" LSP Entry ProviderId={", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(entryLines, count);
}

TEST(ReportText, FormatGrowsAndFollowsTheRuntimeConventions)
{
    const std::wstring wide(5000, L'w');
    const std::wstring text = FormatText(L"%ls|%hs|%I64d|0x%08x|%d", wide.c_str(), "narrow", -5000000000LL, 0xABCu, -1);
    EXPECT_EQ(text, wide + L"|narrow|-5000000000|0x00000abc|-1");
    EXPECT_EQ(GuidToText({ 0xe70f1aa0, 0xab8b, 0x11cf, { 0x8c, 0xa3, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92 } }),
              L"e70f1aa0-ab8b-11cf-8ca3-00805f48a192");
    // Converted text ends at the first NUL byte.
    EXPECT_EQ(AnsiToWide("ab\0cd", 5), L"ab");
    EXPECT_EQ(AnsiToWide("", 0), L"");
}
