#include "vpn_diagnosis_app.h"

#include "dlg_vpn_diagnosis.h"
#include "localized_strings.h"
#include "resource.h"

#include <commctrl.h>

CVpnDiagnosisApp theApp;

CVpnDiagnosisApp::CVpnDiagnosisApp() : CWinApp(nullptr)
{
    InitLocalizedStrings();
}

void CVpnDiagnosisApp::LoadStockFonts() noexcept
{
    m_fixedFont = CFont(static_cast<HFONT>(::GetStockObject(SYSTEM_FIXED_FONT)));
    m_guiFont = CFont(static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT)));
    m_pFixedFont = &m_fixedFont;
    m_pGuiFont = &m_guiFont;
}

BOOL CVpnDiagnosisApp::InitInstance()
{
    LoadStockFonts();
    INITCOMMONCONTROLSEX controls = { sizeof(controls), ICC_WIN95_CLASSES };
    ::InitCommonControlsEx(&controls);
    if (!AfxSocketInit())
    {
        wchar_t text[256] = L"";
        ::LoadStringW(::GetModuleHandleW(nullptr), IDP_SOCKETS_INIT_FAILED, text, 256);
        AfxMessageBox(nullptr, text, MB_OK | MB_ICONEXCLAMATION);
        return FALSE;
    }
    CDlgVpnDiagnosis dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
