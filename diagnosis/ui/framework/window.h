// Window layer of the diagnosis program: application object, modal dialog
// with a message map, control and font objects, the file object that reports
// its failures in a stop box, the Save As prompt (replaceable for tests) and
// socket start-up. Window objects do not own their windows: the dialog's
// children die with the dialog window.
#pragma once

#include "framework.h"

#include <commdlg.h>

class CWinApp;
CWinApp* AfxGetApp() noexcept;

class CWinApp
{
public:
    // A null name means the executable's file name without extension.
    explicit CWinApp(const wchar_t* pszAppName = nullptr) noexcept;
    virtual ~CWinApp();

    // The program's whole life; false ends it without a message loop.
    virtual BOOL InitInstance() { return TRUE; }
    // Retrieves and dispatches one message; false on WM_QUIT.
    BOOL PumpMessage() noexcept;

    const wchar_t* m_pszAppName = nullptr;
    CWnd* m_pMainWnd = nullptr;

private:
    wchar_t m_szAppName[MAX_PATH] = {};
};

// A message box owned by owner (may be null) with the application title.
int AfxMessageBox(HWND owner, const wchar_t* text, UINT type) noexcept;

class CFont
{
public:
    explicit CFont(HFONT hFont = nullptr) noexcept : m_hObject(hFont) {}
    HFONT GetSafeHandle() const noexcept { return m_hObject; }

private:
    // Stock fonts belong to the system and are never deleted.
    HFONT m_hObject;
};

class CControl : public CWnd
{
public:
    BOOL Create(const wchar_t* className, const wchar_t* text, DWORD style, const RECT& rect,
                CWnd* parent, UINT id) noexcept;
    void SetFont(CFont* font) noexcept;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) noexcept
    {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    void EnableWindow(BOOL enable) noexcept { ::EnableWindow(m_hWnd, enable); }
};

class CButton : public CControl
{
public:
    BOOL Create(const wchar_t* text, DWORD style, const RECT& rect, CWnd* parent, UINT id) noexcept
    {
        return CControl::Create(L"BUTTON", text, style, rect, parent, id);
    }
    int GetCheck() noexcept { return static_cast<int>(SendMessage(BM_GETCHECK)); }
    void SetCheck(int check) noexcept { SendMessage(BM_SETCHECK, check); }
};

class CStatic : public CControl
{
public:
    BOOL Create(const wchar_t* text, DWORD style, const RECT& rect, CWnd* parent, UINT id) noexcept
    {
        return CControl::Create(L"STATIC", text, style, rect, parent, id);
    }
};

class CEdit : public CControl
{
public:
    BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) noexcept
    {
        return CControl::Create(L"EDIT", L"", style, rect, parent, id);
    }
};

class CDialog;

// One row of a dialog's message map. A command row matches WM_COMMAND with
// the notification code and control id; any other row matches the message.
struct DialogMessageMapEntry
{
    UINT message;
    UINT code;
    UINT id;
    void (CDialog::*onCommand)();
    LRESULT (CDialog::*onMessage)(WPARAM, LPARAM);
};

class CDialog : public CWnd
{
public:
    CDialog(UINT idTemplate, CWnd* parent) noexcept : m_idTemplate(idTemplate), m_pParent(parent) {}

    // Runs the dialog from the program's resources; returns the code passed
    // to EndDialog, or -1 when it could not be shown.
    INT_PTR DoModal() noexcept;
    void EndDialog(INT_PTR result) noexcept { ::EndDialog(m_hWnd, result); }

protected:
    // Rows end with one whose message is 0.
    virtual const DialogMessageMapEntry* GetMessageMap() const;
    virtual BOOL OnInitDialog() { return TRUE; }
    void OnOK() { EndDialog(IDOK); }
    void OnCancel() { EndDialog(IDCANCEL); }

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

    UINT m_idTemplate;
    CWnd* m_pParent;
};

// File opened for writing, created or truncated; failures show a stop box.
class CFile
{
public:
    enum { modeWrite = 0x1, modeCreate = 0x1000 };

    CFile() noexcept = default;
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    [[nodiscard]] bool Open(const wchar_t* path, UINT flags) noexcept;
    [[nodiscard]] bool Write(const void* data, DWORD cbData) noexcept;
    void Close() noexcept;

private:
    void ReportError(DWORD error) noexcept;

    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    wchar_t m_szPath[MAX_PATH] = {};
};

// The Save As prompt; tests replace it to answer without a window.
extern BOOL (WINAPI* g_pfnGetSaveFileName)(OPENFILENAMEW*);

// Starts Windows Sockets 1.1 and shuts it down at process exit.
BOOL AfxSocketInit() noexcept;
