#include "dialog_driver.h"

#include "vpn_diagnosis_app.h"

namespace
{

std::function<void(CDlgVpnDiagnosis&)> g_step;
CDlgVpnDiagnosis* g_dialog = nullptr;
std::vector<std::wstring> g_boxTexts;
std::wstring g_savePath;

void CALLBACK RunStep(HWND, UINT, UINT_PTR id, DWORD)
{
    ::KillTimer(nullptr, id);
    g_step(*g_dialog);
    g_dialog->EndDialog(IDCANCEL);
}

BOOL CALLBACK AnswerIfMessageBox(HWND hWnd, LPARAM)
{
    wchar_t caption[MAX_PATH] = L"";
    ::GetWindowTextW(hWnd, caption, MAX_PATH);
    if (::IsWindowVisible(hWnd) && hWnd != g_dialog->m_hWnd && theApp.m_pszAppName == std::wstring(caption))
    {
        wchar_t text[1024] = L"";
        ::GetDlgItemTextW(hWnd, 0xFFFF, text, 1024);
        g_boxTexts.push_back(text);
        ::PostMessageW(hWnd, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

void CALLBACK AnswerMessageBoxes(HWND, UINT, UINT_PTR, DWORD)
{
    ::EnumThreadWindows(::GetCurrentThreadId(), AnswerIfMessageBox, 0);
}

BOOL WINAPI AnswerSaveAs(OPENFILENAMEW* ofn)
{
    lstrcpynW(ofn->lpstrFile, g_savePath.c_str(), ofn->nMaxFile);
    return TRUE;
}

} // namespace

void RunDialog(CDlgVpnDiagnosis& dialog, const std::function<void(CDlgVpnDiagnosis&)>& step)
{
    theApp.LoadStockFonts();
    g_boxTexts.clear();
    g_dialog = &dialog;
    g_step = step;
    ::SetTimer(nullptr, 0, 10, RunStep);
    dialog.DoModal();
    g_dialog = nullptr;
}

void RunDialog(const std::function<void(CDlgVpnDiagnosis&)>& step)
{
    CDlgVpnDiagnosis dialog;
    RunDialog(dialog, step);
}

void Click(CDlgVpnDiagnosis& dialog, UINT id)
{
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, AnswerMessageBoxes);
    ::SendMessageW(dialog.m_hWnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    ::KillTimer(nullptr, timer);
}

const std::vector<std::wstring>& AnsweredBoxTexts()
{
    return g_boxTexts;
}

void AnswerSaveAsWith(const std::wstring& path)
{
    g_savePath = path;
    g_pfnGetSaveFileName = path.empty() ? ::GetSaveFileNameW : AnswerSaveAs;
}
