#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/protocol_catalog.h"
#include "bind/core/provider_tables.h"
#include "bind/core/extension_functions.h"
#include "bind/core/socket_hooks.h"
#include "bind/core/tests/in_memory_catalog.h"
#include "tests/support/ini_file.h"
#include "common/win32_handle.h"
#include "common/product_paths.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

extern "C" int WSPAPI WSPStartup(WORD, LPWSPDATA, LPWSAPROTOCOL_INFOW, WSPUPCALLTABLE, LPWSPPROC_TABLE);

namespace
{

using ResetFn = void (*)(int, int);
using CallsFn = int (*)();
using LastCallFn = const char* (*)(SOCKET*);

const wchar_t kListedExe[] = L"C:\\Listed\\app.exe";


std::vector<void*> AsPointers(const WSPPROC_TABLE& table)
{
    std::vector<void*> pointers(sizeof(table) / sizeof(void*));
    std::memcpy(pointers.data(), &table, sizeof(table));
    return pointers;
}

class WspStartupTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_library = ::LoadLibraryW((GetTestBinFolder() + L"recording_provider.dll").c_str());
        ASSERT_NE(nullptr, m_library);
        m_reset = reinterpret_cast<ResetFn>(reinterpret_cast<void*>(::GetProcAddress(m_library, "RecordingProviderReset")));
        m_calls = reinterpret_cast<CallsFn>(reinterpret_cast<void*>(::GetProcAddress(m_library, "RecordingProviderStartupCalls")));
        m_lastCall = reinterpret_cast<LastCallFn>(reinterpret_cast<void*>(::GetProcAddress(m_library, "RecordingProviderLastCall")));
        auto nextStartup = reinterpret_cast<LPWSPSTARTUP>(reinterpret_cast<void*>(::GetProcAddress(m_library, "WSPStartup")));
        ASSERT_TRUE(m_reset && m_calls && m_lastCall && nextStartup);

        m_ownId = m_catalog.Add(kBindLayeredProviderId, L"%SystemRoot%\\system32\\NorvexBind.dll");
        m_baseId = m_catalog.Add(TestGuid(0x1001), GetTestBinFolder() + L"recording_provider.dll", XP1_IFS_HANDLES);
        m_chainId = m_catalog.Add(TestGuid(0x5001), L"", 0, {m_ownId, m_baseId});
        for (const WSAPROTOCOL_INFOW& entry : m_catalog.Entries())
        {
            if (entry.dwCatalogEntryId == m_chainId)
            {
                m_chainInfo = entry;
            }
        }

        // What the next layer writes, for comparison.
        m_reset(0, 0);
        WSPDATA data{};
        WSPUPCALLTABLE upcalls{};
        ASSERT_EQ(0, nextStartup(MAKEWORD(2, 2), &data, &m_chainInfo, upcalls, &m_nextTable));

        OpenGlobalControlBlock();
        ASSERT_NE(nullptr, ControlBlock);
        VpnBindStart(0, 0x0200000A);
        m_startTime = (static_cast<ULONGLONG>(ControlBlock->StartTime.dwHighDateTime) << 32)
                      | ControlBlock->StartTime.dwLowDateTime;
        ProcessCreateTime = m_startTime + 1;
        std::wcscpy(ProcessImagePath, kListedExe);

        WriteListEntry(L"1", L"0x2");
        m_reset(0, 0);
    }

    void TearDown() override
    {
        VpnBindStop();
        CloseGlobalControlBlock();
        ProcessCreateTime = 0;
        ProcessImagePath[0] = L'\0';
        NextProcTable = {};
        ForceWSPBind = UseAsyncMode = 0;
    }

    // nullptr leaves the key out.
    void WriteListEntry(const wchar_t* forceBind, const wchar_t* asyncMode)
    {
        ::DeleteFileW(m_list.Path().c_str());
        IniFile list(m_list.Path());
        list.WriteString(L"Listed app", L"AppFullname", kListedExe);
        list.WriteString(L"Listed app", L"Active", L"1");
        if (forceBind != nullptr)
        {
            list.WriteString(L"Listed app", L"ForceWSPBind", forceBind);
        }
        if (asyncMode != nullptr)
        {
            list.WriteString(L"Listed app", L"UseAsyncMode", asyncMode);
        }
    }

    // Runs start-up on a table filled with a marker byte.
    int Start(WSPPROC_TABLE* table, WSAPROTOCOL_INFOW* info = nullptr)
    {
        std::memset(table, 0xCD, sizeof(*table));
        WSPDATA data{};
        WSPUPCALLTABLE upcalls{};
        std::memset(&upcalls, 0x5A, sizeof(upcalls));
        return WSPStartup(MAKEWORD(2, 2), &data, info != nullptr ? info : &m_chainInfo, upcalls, table);
    }

    InMemoryCatalog m_catalog;
    HMODULE m_library = nullptr;
    ResetFn m_reset = nullptr;
    CallsFn m_calls = nullptr;
    LastCallFn m_lastCall = nullptr;
    DWORD m_ownId = 0, m_baseId = 0, m_chainId = 0;
    WSAPROTOCOL_INFOW m_chainInfo{};
    WSPPROC_TABLE m_nextTable{};
    ULONGLONG m_startTime = 0;
    ScopedProductList m_list;
};

void ExpectPassThrough(const WSPPROC_TABLE& table, const WSPPROC_TABLE& next)
{
    EXPECT_EQ(0, std::memcmp(&table, &next, sizeof(table))) << "the table is exactly what the next layer wrote";
}

void ExpectIntercepted(const WSPPROC_TABLE& table, const WSPPROC_TABLE& next)
{
    WSPPROC_TABLE expected = next;
    expected.lpWSPBind = WSPBind;
    expected.lpWSPConnect = WSPConnect;
    expected.lpWSPSendTo = WSPSendTo;
    expected.lpWSPRecvFrom = WSPRecvFrom;
    expected.lpWSPSend = WSPSend;
    expected.lpWSPRecv = WSPRecv;
    expected.lpWSPGetOverlappedResult = WSPGetOverlappedResult;
    expected.lpWSPCloseSocket = WSPCloseSocket;
    expected.lpWSPIoctl = WSPIoctl;
    std::vector<void*> actual = AsPointers(table);
    std::vector<void*> wanted = AsPointers(expected);
    for (size_t i = 0; i < actual.size(); ++i)
    {
        EXPECT_EQ(wanted[i], actual[i]) << "entry " << i;
    }
    EXPECT_EQ(0, std::memcmp(&NextProcTable, &next, sizeof(next))) << "the saved table is the next layer's";
}

TEST_F(WspStartupTest, ListedProcessStartedAfterTheBindingIsIntercepted)
{
    WSPPROC_TABLE table;
    ASSERT_EQ(0, Start(&table));
    EXPECT_EQ(1, m_calls());
    ExpectIntercepted(table, m_nextTable);
    EXPECT_EQ(1, ForceWSPBind);
    EXPECT_EQ(2, UseAsyncMode);
    std::vector<BYTE> upcalls(sizeof(SavedUpcallTable), 0x5A);
    EXPECT_EQ(0, std::memcmp(&SavedUpcallTable, upcalls.data(), upcalls.size()));

    // The replaced procedures hand the call and its result through.
    m_reset(0, 4242);
    int error = 0;
    EXPECT_EQ(4242, table.lpWSPCloseSocket(77, &error));
    SOCKET seen = 0;
    EXPECT_STREQ("WSPCloseSocket", m_lastCall(&seen));
    EXPECT_EQ(77u, seen);
    EXPECT_EQ(4242, table.lpWSPConnect(78, nullptr, 0, nullptr, nullptr, nullptr, nullptr, &error));
    EXPECT_STREQ("WSPConnect", m_lastCall(&seen));
    EXPECT_EQ(78u, seen);
}

TEST_F(WspStartupTest, PassesThroughUnlessListedAndStartedAfterTheBinding)
{
    static const struct
    {
        const char* name;
        const wchar_t* exe;
        LONGLONG createOffset; // from the start time
        bool isStopped;
        bool isIntercepted;
    } cases[] = {
        {"listed, one tick after the start", kListedExe, 1, false, true},
        {"listed, created at the start time", kListedExe, 0, false, false},
        {"listed, created before", kListedExe, -10000000, false, false},
        {"not listed", L"C:\\Other\\app.exe", 1, false, false},
        {"binding stopped", kListedExe, 1, true, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::wcscpy(ProcessImagePath, c.exe);
        ProcessCreateTime = m_startTime + c.createOffset;
        FILETIME saved = ControlBlock->StartTime;
        if (c.isStopped)
        {
            ControlBlock->StartTime = FILETIME{};
        }
        NextProcTable = {};
        WSPPROC_TABLE table;
        EXPECT_EQ(0, Start(&table));
        if (c.isIntercepted)
        {
            ExpectIntercepted(table, m_nextTable);
        }
        else
        {
            ExpectPassThrough(table, m_nextTable);
        }
        ControlBlock->StartTime = saved;
    }
    ProcessCreateTime = 0;
    WSPPROC_TABLE table;
    EXPECT_EQ(0, Start(&table));
    ExpectPassThrough(table, m_nextTable);
}

TEST_F(WspStartupTest, NextLayerErrorIsReturnedAndNothingReplaced)
{
    m_reset(WSAEPROVIDERFAILEDINIT, 0);
    WSPPROC_TABLE table;
    EXPECT_EQ(WSAEPROVIDERFAILEDINIT, Start(&table));
    std::vector<BYTE> untouched(sizeof(table), 0xCD);
    EXPECT_EQ(0, std::memcmp(&table, untouched.data(), sizeof(table)));
}

TEST_F(WspStartupTest, MissingSwitchesReadAsZeroAndStillReplace)
{
    WriteListEntry(nullptr, nullptr);
    ForceWSPBind = UseAsyncMode = 7;
    WSPPROC_TABLE table;
    ASSERT_EQ(0, Start(&table));
    ExpectIntercepted(table, m_nextTable);
    EXPECT_EQ(0, ForceWSPBind);
    EXPECT_EQ(0, UseAsyncMode);
}

TEST_F(WspStartupTest, SecondStartUpOverwritesTheSwitches)
{
    WSPPROC_TABLE tcp;
    ASSERT_EQ(0, Start(&tcp));
    WriteListEntry(L"0", L"1");
    WSPPROC_TABLE udp;
    ASSERT_EQ(0, Start(&udp));
    EXPECT_EQ(0, ForceWSPBind);
    EXPECT_EQ(1, UseAsyncMode);
    EXPECT_EQ(2, m_calls());
}

TEST_F(WspStartupTest, NonChainEntriesAreRefused)
{
    for (int chainLength : {LAYERED_PROTOCOL, BASE_PROTOCOL})
    {
        SCOPED_TRACE(chainLength);
        WSAPROTOCOL_INFOW info = m_chainInfo;
        info.ProtocolChain.ChainLen = chainLength;
        WSPPROC_TABLE table;
        EXPECT_EQ(WSAEPROVIDERFAILEDINIT, Start(&table, &info));
        std::vector<BYTE> untouched(sizeof(table), 0xCD);
        EXPECT_EQ(0, std::memcmp(&table, untouched.data(), sizeof(table)));
    }
    EXPECT_EQ(0, m_calls()) << "nothing is loaded or started";
}

TEST_F(WspStartupTest, MissingNextLayerIsNotReady)
{
    // The next entry's library loads but is no provider. (The fallback
    // mswsock.dll cannot stand in here: Wine's exports a WSPStartup that
    // aborts the process when called.)
    DWORD notAProvider = m_catalog.Add(TestGuid(0x1002), L"%SystemRoot%\\system32\\version.dll");
    WSAPROTOCOL_INFOW info = m_chainInfo;
    info.ProtocolChain.ChainEntries[1] = notAProvider;
    WSPPROC_TABLE table;
    EXPECT_EQ(WSASYSNOTREADY, Start(&table, &info));
    EXPECT_EQ(0, m_calls());
}

} // namespace

namespace
{

// Real child processes: their creation times and executable paths are their
// own, as in any process Winsock starts the provider in.
class StartupInChildTest : public testing::Test
{
protected:
    void SetUp() override
    {
        OpenGlobalControlBlock();
        ASSERT_NE(nullptr, ControlBlock);
        m_listed = Place(L"listed\\");
        m_unlisted = Place(L"unlisted\\");

        IniFile list(m_list.Path());
        list.WriteString(L"Probe", L"AppFullname", m_listed + L"startup_probe.exe");
        list.WriteString(L"Probe", L"Active", L"1");
        list.WriteString(L"Probe", L"ForceWSPBind", L"1");
        list.WriteString(L"Probe", L"UseAsyncMode", L"3");
    }

    void TearDown() override
    {
        VpnBindStop();
        CloseGlobalControlBlock();
    }

    // Copies the probe and its next layer into a folder of the scratch area.
    std::wstring Place(const wchar_t* name)
    {
        std::wstring folder = m_scratch.Path() + name;
        ::CreateDirectoryW(folder.c_str(), nullptr);
        for (const wchar_t* file : {L"startup_probe.exe", L"recording_provider.dll"})
        {
            EXPECT_TRUE(::CopyFileW((GetTestBinFolder() + file).c_str(), (folder + file).c_str(), FALSE));
        }
        return folder;
    }

    static std::wstring Command(const std::wstring& folder, const std::wstring& extra = L"")
    {
        return L"\"" + folder + L"startup_probe.exe\" \"" + folder + L"recording_provider.dll\"" + extra;
    }

    static std::string Probe(const std::wstring& commandLine)
    {
        ChildResult child = RunChild(commandLine);
        EXPECT_TRUE(child.didFinish);
        EXPECT_EQ(0u, child.exitCode) << child.output;
        return child.output;
    }

    ScratchFolder m_scratch;
    ScopedProductList m_list;
    std::wstring m_listed, m_unlisted;
};

TEST_F(StartupInChildTest, OnlyListedProcessesCreatedAfterTheStartAreIntercepted)
{
    VpnBindStart(0, 0x0200000A);
    ::Sleep(20);
    EXPECT_EQ("replaced=9 force=1 async=3 result=0\r\n", Probe(Command(m_listed)));
    EXPECT_EQ("replaced=0 force=0 async=0 result=0\r\n", Probe(Command(m_unlisted)));

    // Created before a (re-)start: passive.
    UniqueObject go(::CreateEventW(nullptr, TRUE, FALSE, L"NorvexStartupProbeGo"));
    std::string early;
    std::thread child([&] { early = Probe(Command(m_listed, L" --wait-event NorvexStartupProbeGo")); });
    ::Sleep(300);
    VpnBindStart(0, 0x0200000A);
    ::SetEvent(go.Get());
    child.join();
    EXPECT_EQ("replaced=0 force=0 async=0 result=0\r\n", early);

    VpnBindStop();
    EXPECT_EQ("replaced=0 force=0 async=0 result=0\r\n", Probe(Command(m_listed)));
}

} // namespace
