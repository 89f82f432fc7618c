// The application object: prepares texts, fonts, common controls and
// sockets, then shows the diagnosis dialog once; the program ends with it.
#pragma once

#include "window.h"

class CVpnDiagnosisApp : public CWinApp
{
public:
    CVpnDiagnosisApp();
    ~CVpnDiagnosisApp() override = default;

    BOOL InitInstance() override;
    // First step of InitInstance: the two stock fonts the dialog uses.
    void LoadStockFonts() noexcept;

    CFont* m_pFixedFont = nullptr;
    CFont* m_pGuiFont = nullptr;

private:
    CFont m_fixedFont;
    CFont m_guiFont;
};

extern CVpnDiagnosisApp theApp;
