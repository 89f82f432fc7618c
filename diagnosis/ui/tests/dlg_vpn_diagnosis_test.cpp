#include "dialog_driver.h"
#include "dlg_vpn_diagnosis.h"
#include "resource.h"
#include "vpn_diagnosis_app.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace
{

std::wstring ClassOf(HWND hWnd)
{
    wchar_t name[64] = L"";
    ::GetClassNameW(hWnd, name, 64);
    return name;
}

std::wstring TextOf(HWND hWnd)
{
    wchar_t text[256] = L"";
    ::GetWindowTextW(hWnd, text, 256);
    return text;
}

TEST(DlgVpnDiagnosis, FreshDialogHasItsControlsInOrder)
{
    RunDialog([](CDlgVpnDiagnosis& dialog) {
        static const struct
        {
            int id;
            const wchar_t* className;
            DWORD style;
            const wchar_t* text;
            bool enabled;
        } expected[] = {
            { 0xFFFF, L"Static", 0x50000000, L"Current network status:", true },
            // Checking a radio button makes the system give it the tab stop.
            { 1000, L"Button", 0x50010009, L"OK", true },
            { 1001, L"Button", 0x50000009, L"Broken", true },
            { 0xFFFF, L"Static", 0x50000000, L"Comments:", true },
            { 1002, L"Edit", 0x503110C4, L"", true },
            { 1004, L"Button", 0x50010000, L"Start diagnosis", true },
            { 1006, L"Button", 0x50010000, L"Copy report to clipboard", false },
            { 1005, L"Button", 0x50010000, L"Save report to file", false },
            { 2, L"Button", 0x50010000, L"Close", true },
            { 0xFFFF, L"Static", 0x50000000, L"Diagnosis options:", true },
            { 0xFFFF, L"Button", 0x50000003, L"Query full module list", true },
            { 0xFFFF, L"Button", 0x50000003, L"Query network connections", true },
            { 0xFFFF, L"Static", 0x50000000, L"Report:", true },
            { 1003, L"Edit", 0x503108C4, L"", true },
        };
        HWND child = ::GetWindow(dialog.m_hWnd, GW_CHILD);
        for (const auto& e : expected)
        {
            SCOPED_TRACE(e.text);
            ASSERT_NE(child, nullptr);
            EXPECT_EQ(::GetDlgCtrlID(child) & 0xFFFF, e.id);
            EXPECT_EQ(::lstrcmpiW(ClassOf(child).c_str(), e.className), 0);
            EXPECT_EQ(static_cast<DWORD>(::GetWindowLongPtrW(child, GWL_STYLE)) & ~WS_DISABLED, e.style);
            EXPECT_EQ(TextOf(child), e.text);
            EXPECT_EQ(::IsWindowEnabled(child) != FALSE, e.enabled);
            child = ::GetWindow(child, GW_HWNDNEXT);
        }
        EXPECT_EQ(child, nullptr);
        EXPECT_EQ(::GetFocus(), dialog.m_editComments.m_hWnd);
        EXPECT_EQ(dialog.m_radioStatusOk.GetCheck(), BST_CHECKED);
        EXPECT_EQ(TextOf(dialog.m_hWnd), L"Diagnosis");
        RECT rect;
        ::GetWindowRect(dialog.m_hWnd, &rect);
        EXPECT_EQ(rect.right - rect.left, 600);
        EXPECT_EQ(rect.bottom - rect.top, 600);

        ::SendMessageW(dialog.m_radioStatusBroken.m_hWnd, BM_CLICK, 0, 0);
        EXPECT_EQ(dialog.m_radioStatusOk.GetCheck(), BST_UNCHECKED);
        EXPECT_EQ(dialog.m_radioStatusBroken.GetCheck(), BST_CHECKED);
    });
}

TEST(DlgVpnDiagnosis, CopyPutsTheWholeReportOnTheClipboardAsUnicode)
{
    const std::wstring report = L"first line\r\nsnow \u2603 \u00dc\r\n";
    std::wstring clipboard;
    RunDialog([&](CDlgVpnDiagnosis& dialog) {
        dialog.AppendReportText(L"first line\r\n");
        dialog.AppendReportText(L"snow \u2603 \u00dc\r\n");
        Click(dialog, IDC_COPY_REPORT);
        if (::OpenClipboard(dialog.m_hWnd))
        {
            if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT))
            {
                clipboard = static_cast<const wchar_t*>(::GlobalLock(data));
                ::GlobalUnlock(data);
            }
            ::CloseClipboard();
        }
    });
    EXPECT_EQ(clipboard, report);
    EXPECT_EQ(AnsweredBoxTexts(), std::vector<std::wstring>{ L"Copy OK" });
}

std::wstring g_savePath;

BOOL WINAPI AnswerSaveAs(OPENFILENAMEW* ofn)
{
    EXPECT_EQ(ofn->Flags & (OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT), static_cast<DWORD>(OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT));
    EXPECT_EQ(std::wstring(ofn->lpstrFile).rfind(L"NetworkDiagnosis", 0), 0u);
    lstrcpynW(ofn->lpstrFile, g_savePath.c_str(), ofn->nMaxFile);
    return TRUE;
}

TEST(DlgVpnDiagnosis, SaveWritesAnsiBytesAndTruncates)
{
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    ::GetTempFileNameW(folder, L"sav", 0, path);
    g_savePath = path;
    {
        HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const std::string old(10000, 'x');
        DWORD written = 0;
        ::WriteFile(file, old.data(), static_cast<DWORD>(old.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    g_pfnGetSaveFileName = AnswerSaveAs;
    RunDialog([](CDlgVpnDiagnosis& dialog) {
        dialog.AppendReportText(L"line\r\nsnow \u2603\r\n");
        Click(dialog, IDC_SAVE_REPORT);
    });
    g_pfnGetSaveFileName = ::GetSaveFileNameW;
    EXPECT_EQ(ReadFileBytes(path), "line\r\nsnow ?\r\n");
    EXPECT_EQ(AnsweredBoxTexts(), std::vector<std::wstring>{ L"Save OK" });
    ::DeleteFileW(path);
}

TEST(DlgVpnDiagnosis, UnwritablePathShowsTheErrorAndNoSaveOk)
{
    g_savePath = L"C:\\no\\such\\folder\\report.txt";
    g_pfnGetSaveFileName = AnswerSaveAs;
    RunDialog([](CDlgVpnDiagnosis& dialog) {
        dialog.AppendReportText(L"line\r\n");
        Click(dialog, IDC_SAVE_REPORT);
    });
    g_pfnGetSaveFileName = ::GetSaveFileNameW;
    ASSERT_EQ(AnsweredBoxTexts().size(), 1u);
    EXPECT_NE(AnsweredBoxTexts()[0].find(L"report.txt"), std::wstring::npos);
}

TEST(DlgVpnDiagnosis, ProposedNameCarriesPrefixAndLocalTimeStamp)
{
    const std::wstring name = CDlgVpnDiagnosis::ProposedFileName();
    ASSERT_EQ(name.size(), std::wstring(L"NetworkDiagnosis2012-12-08 14_03_59.txt").size());
    EXPECT_EQ(name.rfind(L"NetworkDiagnosis", 0), 0u);
    EXPECT_EQ(name.substr(name.size() - 4), L".txt");
    EXPECT_EQ(name[26], L' ');
}

} // namespace
