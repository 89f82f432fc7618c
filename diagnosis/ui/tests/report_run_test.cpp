#include "dialog_driver.h"
#include "localized_strings.h"
#include "resource.h"
#include "system_probes.h"

#include "common/ansi_text.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

// The whole report run, driven through the dialog. The test flavour's HTTP
// targets are "localhost" and a reserved name falling back to 127.0.0.1,
// served here on 127.0.0.1:80; the console commands are replaced by commands
// with known output, run through the same redirector path.

namespace
{

int g_timerTicksDuringCommands = 0;

void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD)
{
    ++g_timerTicksDuringCommands;
}

class ScriptedDialog : public CDlgVpnDiagnosis
{
public:
    std::vector<std::wstring> commands;
    std::vector<bool> startEnabledDuringCommands;
    std::map<std::wstring, std::wstring> substitutes;

protected:
    void RunCommandIntoReport(const wchar_t* commandLine) override
    {
        commands.push_back(commandLine);
        startEnabledDuringCommands.push_back(::IsWindowEnabled(m_btnStart.m_hWnd) != FALSE);
        const auto substitute = substitutes.find(commandLine);
        // Timer messages reach the thread only while something pumps them.
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, CountTick);
        CDlgVpnDiagnosis::RunCommandIntoReport(substitute != substitutes.end() ? substitute->second.c_str()
                                                                               : L"cmd.exe /c exit");
        ::KillTimer(nullptr, timer);
    }
};

std::wstring ReportOf(CDlgVpnDiagnosis& dialog)
{
    std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(dialog.m_editReport.m_hWnd)) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(dialog.m_editReport.m_hWnd, &text[0],
                                                     static_cast<int>(text.size()))));
    return text;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

size_t CountOf(const std::wstring& text, const std::wstring& part)
{
    size_t count = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::wstring::npos; at += part.size())
    {
        ++count;
    }
    return count;
}

#ifdef _WIN64
const wchar_t kIsOnWindows64Line[] = L"IsOnWindows64: No";
#else
const wchar_t kIsOnWindows64Line[] = L"IsOnWindows64: Yes";
#endif

struct LinePattern
{
    const wchar_t* line;
    bool repeats = false; // one or more lines
};

// Every line of report matches its pattern, in order, and nothing follows.
template <size_t N>
void ExpectLayout(const std::wstring& report, const LinePattern (&patterns)[N])
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = report.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    {
        lines.push_back(report.substr(start, end - start));
    }
    ASSERT_EQ(start, report.size()) << "the report ends in a line end";
    size_t at = 0;
    for (const LinePattern& pattern : patterns)
    {
        const std::wregex expression(pattern.line);
        ASSERT_LT(at, lines.size()) << "missing: " << Narrow(pattern.line);
        ASSERT_TRUE(std::regex_match(lines[at], expression))
            << "line " << at << ": " << Narrow(lines[at]) << "\nexpected: " << Narrow(pattern.line);
        for (++at; pattern.repeats && at < lines.size() && std::regex_match(lines[at], expression); ++at)
        {
        }
    }
    EXPECT_EQ(at, lines.size()) << "lines after the end";
}

OSVERSIONINFOW g_fakeVersion;

BOOL WINAPI FakeGetVersionEx(LPOSVERSIONINFOW info)
{
    const DWORD size = info->dwOSVersionInfoSize;
    memset(info, 0, size);
    memcpy(info, &g_fakeVersion, sizeof(g_fakeVersion));
    info->dwOSVersionInfoSize = size;
    return TRUE;
}

class ReportRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::wstring routeOutput = m_folder.Path() + L"route.txt";
        HANDLE file = ::CreateFileW(routeOutput.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const char text[] = "route table\r\nlast line without its end";
        DWORD written = 0;
        ::WriteFile(file, text, sizeof(text) - 1, &written, nullptr);
        ::CloseHandle(file);
        // Enough lines to arrive in several reads.
        m_dialog.substitutes[L"ipconfig /all"] = L"cmd.exe /c \"for /l %i in (1,1,1000) do @echo adapter %i\"";
        m_dialog.substitutes[L"route print"] = L"cmd.exe /c type \"" + routeOutput + L"\"";
        m_dialog.substitutes[L"netstat -an"] = L"cmd.exe /c echo connections";
        m_dialog.substitutes[L"netstat -anb"] = L"cmd.exe /c echo connections with programs";
        WriteFileOrFail(m_list.Path(), "[C:\\Games\\game.exe]\r\n");
    }

    static void WriteFileOrFail(const std::wstring& path, const std::string& bytes)
    {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
    }

    ScratchFolder m_folder;
    ScopedProductList m_list;
    ScriptedDialog m_dialog;
};

} // namespace

TEST_F(ReportRun, SectionsInOrderCommandsStreamedAndASecondRunReplacesTheFirst)
{
    // Two targets per run, two runs.
    LoopbackHttpServer server("127.0.0.1", MakeHttpAnswer(1234), 4);
    ASSERT_TRUE(server.IsListening());
    std::wstring first;
    std::wstring second;
    bool areButtonsEnabled = false;
    RunDialog(m_dialog, [&](CDlgVpnDiagnosis& dialog) {
        ::SetWindowTextW(dialog.m_editComments.m_hWnd, L"  \r\n\tno pages load \r\n ");
        Click(dialog, IDC_START_DIAGNOSIS);
        first = ReportOf(dialog);
        areButtonsEnabled = ::IsWindowEnabled(dialog.m_btnStart.m_hWnd) &&
                            ::IsWindowEnabled(dialog.m_btnCopy.m_hWnd) && ::IsWindowEnabled(dialog.m_btnSave.m_hWnd);
        Click(dialog, IDC_START_DIAGNOSIS);
        second = ReportOf(dialog);
    });
    EXPECT_TRUE(areButtonsEnabled);
    EXPECT_EQ(AnsweredBoxTexts(),
              std::vector<std::wstring>(2, GetLocalizedString("DiagnosisCompleted")));
    EXPECT_EQ(m_dialog.commands, (std::vector<std::wstring>{ L"ipconfig /all", L"route print", L"ipconfig /all",
                                                               L"route print" }));
    EXPECT_EQ(m_dialog.startEnabledDuringCommands, std::vector<bool>(4, false));

    // One pattern per line, so that no expression runs over the whole report.
    static const LinePattern layout[] = {
        { LR"(Current network status:OK)" },
        { LR"(Comments:no pages load)" },
        { LR"(================= Operating System =================)" },
        { LR"(Windows .*)" },
        // Wine runs 32-bit programs as a 64-bit system's WOW64 does.
        { kIsOnWindows64Line },
        { LR"(Datetime: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)" },
        { LR"(================= HTTP Connection =================)" },
        { LR"(Test HTTP Connection by localhost with backup IP 127\.0\.0\.1)" },
        { LR"(    gethostbyname: 127\.0\.0\.1)" },
        { LR"(    Recv total len = 1234, tick = \d+)" },
        { LR"()" },
        { LR"(Test HTTP Connection by vendor-site\.norvex\.invalid with backup IP 127\.0\.0\.1)" },
        { LR"(    gethostbyname failed\. \d+)" },
        { LR"(    Recv total len = 1234, tick = \d+)" },
        { LR"()" },
        { LR"(================= VpnBind ControlBlock =================)" },
        { LR"(GetVpnBindControlBlockInfo:)" },
        { LR"(    StartTime = \d+)" },
        { LR"(    StartupParmas\.VpnIP = 0x[0-9a-f]{8})" },
        { LR"()" },
        { LR"(================= Process List =================)" },
        { LR"(\[\d+\] .*, CreateTime = \d+, ParentID=\d+|    .+)", true },
        { LR"()" },
        { LR"(================= LSP List =================)" },
        { LR"( LSP Entry .*|   .+|WSCGetProviderPath failed\. \d+)", true },
        { LR"()" },
        { LR"(================= Vpn Accelerated Apps =================)" },
        { LR"(\[C:\\Games\\game\.exe\])" },
        { LR"()" },
        { LR"(================= ipconfig =================)" },
        { LR"(adapter \d+)", true },
        { LR"(================= route =================)" },
        { LR"(route table)" },
        // The command's last line has no line end: the next header follows it.
        { LR"(last line without its end================= Vpn Accelerated Processes =================)" },
        { LR"(Binding: (started at .*|not started|unknown, .*))" },
        { LR"(\[\d+\] .*, section ".*": .+)", true },
        { LR"()" },
        { LR"(================= LSP Health =================)" },
        { LR"((OK|Problem|Cannot tell): .+)", true },
        { LR"(LSP Health: (OK|\d+ problem\(s\)))" },
        { LR"()" },
        { LR"(================= \[over\] =================)" },
    };
    ExpectLayout(first, layout);
    ExpectLayout(second, layout);
    EXPECT_EQ(CountOf(first, L"adapter "), 1000u);
    EXPECT_NE(first.find(L"adapter 1\r\nadapter 2\r\n"), std::wstring::npos);
    EXPECT_NE(first.find(L"adapter 999\r\nadapter 1000\r\n"), std::wstring::npos);
    // The dialog kept answering messages while the commands ran.
    EXPECT_GT(g_timerTicksDuringCommands, 0);
    EXPECT_NE(first.find(L".exe, CreateTime = "), std::wstring::npos);
    EXPECT_EQ(CountOf(second, L"Current network status:"), 1u);
    EXPECT_EQ(server.Requests().size(), 4u);
}

TEST_F(ReportRun, NetstatOnlyWhenAskedAndItsFormByVersion)
{
    LoopbackHttpServer server("127.0.0.1", MakeHttpAnswer(100), 4);
    std::wstring onWindows2000;
    std::wstring onWindows7;
    g_fakeVersion = {};
    g_fakeVersion.dwPlatformId = VER_PLATFORM_WIN32_NT;
    g_pfnGetVersionEx = FakeGetVersionEx;
    RunDialog(m_dialog, [&](CDlgVpnDiagnosis& dialog) {
        ::SendMessageW(dialog.m_radioStatusBroken.m_hWnd, BM_CLICK, 0, 0);
        ::SetWindowTextW(dialog.m_editComments.m_hWnd, L" \r\n\t ");
        dialog.m_checkNetConnections.SetCheck(BST_CHECKED);
        g_fakeVersion.dwMajorVersion = 5;
        g_fakeVersion.dwMinorVersion = 0;
        Click(dialog, IDC_START_DIAGNOSIS);
        onWindows2000 = ReportOf(dialog);
        g_fakeVersion.dwMajorVersion = 6;
        g_fakeVersion.dwMinorVersion = 1;
        Click(dialog, IDC_START_DIAGNOSIS);
        onWindows7 = ReportOf(dialog);
    });
    g_pfnGetVersionEx = ::GetVersionExW;

    EXPECT_EQ(m_dialog.commands,
              (std::vector<std::wstring>{ L"ipconfig /all", L"route print", L"netstat -an", L"ipconfig /all",
                                          L"route print", L"netstat -anb" }));
    // Blank comments write no line.
    EXPECT_EQ(onWindows2000.rfind(L"Current network status:Broken\r\n"
                                  L"================= Operating System =================\r\n"
                                  L"Windows 2000 Build 0 \r\n", 0),
              0u)
        << Narrow(onWindows2000.substr(0, 200));
    EXPECT_NE(onWindows2000.find(L"last line without its end================= netstat =================\r\n"
                                 L"connections\r\n================= Vpn Accelerated Processes =================\r\n"),
              std::wstring::npos);
    EXPECT_EQ(onWindows7.rfind(L"Current network status:Broken\r\n================= Operating System"
                               L" =================\r\nWindows 7 Build 0 \r\n", 0),
              0u);
    EXPECT_NE(onWindows7.find(L"================= netstat =================\r\nconnections with programs\r\n"
                              L"================= Vpn Accelerated Processes =================\r\n"),
              std::wstring::npos);
}

// Console programs write in the OEM code page (437 here, with 1252 as the
// ANSI one): their text is decoded in it, and a character of it that the
// saved report's ANSI code page also holds comes out as itself.
TEST_F(ReportRun, CommandOutputIsReadInTheConsolesCodePage)
{
    const std::wstring words = L"Verbindungsst\u00e4rke: gro\u00df, caf\u00e9 \u00bd";
    const int cb = ::WideCharToMultiByte(CP_OEMCP, 0, words.c_str(), static_cast<int>(words.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string oem(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_OEMCP, 0, words.c_str(), static_cast<int>(words.size()), &oem[0], cb, nullptr, nullptr);
    ASSERT_NE(oem, WideToAnsi(words)) << "the two code pages must differ for this test";
    const std::wstring oemFile = m_folder.Path() + L"oem.txt";
    WriteFileOrFail(oemFile, oem + "\r\n");
    m_dialog.substitutes[L"ipconfig /all"] = L"cmd.exe /c type \"" + oemFile + L"\"";

    LoopbackHttpServer server("127.0.0.1", MakeHttpAnswer(10), 2);
    std::wstring report;
    RunDialog(m_dialog, [&](CDlgVpnDiagnosis& dialog) {
        Click(dialog, IDC_START_DIAGNOSIS);
        report = ReportOf(dialog);
    });
    EXPECT_NE(report.find(L"================= ipconfig =================\r\n" + words + L"\r\n"), std::wstring::npos)
        << Narrow(report.substr(report.find(L"ipconfig"), 120));
}

// The first byte of a double-byte character that ends one read waits for
// its second byte; single-byte code pages keep every byte.
TEST(ConsoleText, SplitDoubleByteCharactersWaitForTheirSecondByte)
{
    static const struct
    {
        unsigned int codePage;
        const char* bytes;
        size_t whole;
    } cases[] = {
        {932, "\x82\xa0\x82", 2},       // hiragana a, then a lead byte alone
        {932, "\x82\xa0", 2},
        {932, "a\x82", 1},
        {932, "\x82\x82\x82", 2},       // a trail byte that looks like a lead byte
        {437, "\x82\xa0\x82", 3},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.codePage << " " << c.bytes);
        EXPECT_EQ(c.whole, WholeCharacterBytes(c.codePage, c.bytes, std::strlen(c.bytes)));
    }
}
