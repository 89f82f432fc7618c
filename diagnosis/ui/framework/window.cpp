#include "window.h"

#include <winsock2.h>

#include <cstdlib>
#include <cwchar>

namespace
{

CWinApp* g_pApp = nullptr;

} // namespace

BOOL (WINAPI* g_pfnGetSaveFileName)(OPENFILENAMEW*) = ::GetSaveFileNameW;

CWinApp* AfxGetApp() noexcept
{
    return g_pApp;
}

CWinApp::CWinApp(const wchar_t* pszAppName) noexcept
{
    g_pApp = this;
    if (pszAppName)
    {
        m_pszAppName = pszAppName;
        return;
    }
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
    {
        if (*p == L'\\' || *p == L'/')
        {
            name = p + 1;
        }
    }
    wcsncpy(m_szAppName, name, MAX_PATH - 1);
    if (wchar_t* dot = wcsrchr(m_szAppName, L'.'))
    {
        *dot = L'\0';
    }
    m_pszAppName = m_szAppName;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
    {
        g_pApp = nullptr;
    }
}

BOOL CWinApp::PumpMessage() noexcept
{
    MSG msg;
    if (::GetMessageW(&msg, nullptr, 0, 0) <= 0)
    {
        return FALSE;
    }
    HWND main = m_pMainWnd ? m_pMainWnd->GetSafeHwnd() : nullptr;
    if (!main || !::IsDialogMessageW(main, &msg))
    {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return TRUE;
}

int AfxMessageBox(HWND owner, const wchar_t* text, UINT type) noexcept
{
    const wchar_t* caption = g_pApp ? g_pApp->m_pszAppName : nullptr;
    return ::MessageBoxW(owner, text, caption, type);
}

BOOL CControl::Create(const wchar_t* className, const wchar_t* text, DWORD style, const RECT& rect,
                      CWnd* parent, UINT id) noexcept
{
    m_hWnd = ::CreateWindowExW(0, className, text, style, rect.left, rect.top, rect.right - rect.left,
                               rect.bottom - rect.top, parent ? parent->GetSafeHwnd() : nullptr,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(static_cast<int>(id))),
                               ::GetModuleHandleW(nullptr), nullptr);
    return m_hWnd != nullptr;
}

void CControl::SetFont(CFont* font) noexcept
{
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font ? font->GetSafeHandle() : nullptr), TRUE);
}

const DialogMessageMapEntry* CDialog::GetMessageMap() const
{
    static const DialogMessageMapEntry kNoEntries[] = { { 0, 0, 0, nullptr, nullptr } };
    return kNoEntries;
}

INT_PTR CDialog::DoModal() noexcept
{
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_idTemplate),
                             m_pParent ? m_pParent->GetSafeHwnd() : nullptr, DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

bool CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    for (const DialogMessageMapEntry* entry = GetMessageMap(); entry->message; ++entry)
    {
        if (entry->message != message)
        {
            continue;
        }
        if (message == WM_COMMAND)
        {
            if (HIWORD(wParam) != entry->code || LOWORD(wParam) != entry->id)
            {
                continue;
            }
            (this->*entry->onCommand)();
            *result = 0;
            return true;
        }
        *result = (this->*entry->onMessage)(wParam, lParam);
        return true;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED)
    {
        if (LOWORD(wParam) == IDOK)
        {
            OnOK();
            return true;
        }
        if (LOWORD(wParam) == IDCANCEL)
        {
            OnCancel();
            return true;
        }
    }
    return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    try
    {
        if (message == WM_INITDIALOG)
        {
            auto* dialog = reinterpret_cast<CDialog*>(lParam);
            ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
            dialog->m_hWnd = hWnd;
            const BOOL setFocus = dialog->OnInitDialog();
            // No owner: centre on the screen, as the real framework does.
            RECT rect;
            ::GetWindowRect(hWnd, &rect);
            const int width = rect.right - rect.left;
            const int height = rect.bottom - rect.top;
            ::SetWindowPos(hWnd, nullptr, (::GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                           (::GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            return setFocus;
        }
        auto* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
        if (!dialog)
        {
            return FALSE;
        }
        if (message == WM_NCDESTROY)
        {
            dialog->m_hWnd = nullptr;
            return FALSE;
        }
        LRESULT result = 0;
        if (!dialog->Dispatch(message, wParam, lParam, &result))
        {
            return FALSE;
        }
        ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
    catch (...)
    {
        return FALSE;
    }
}

bool CFile::Open(const wchar_t* path, UINT flags) noexcept
{
    Close();
    wcsncpy(m_szPath, path ? path : L"", MAX_PATH - 1);
    const DWORD disposition = (flags & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
    m_hFile = ::CreateFileW(m_szPath, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE)
    {
        ReportError(::GetLastError());
        return false;
    }
    return true;
}

bool CFile::Write(const void* data, DWORD cbData) noexcept
{
    DWORD cbWritten = 0;
    if (!::WriteFile(m_hFile, data, cbData, &cbWritten, nullptr) || cbWritten != cbData)
    {
        ReportError(::GetLastError());
        return false;
    }
    return true;
}

void CFile::Close() noexcept
{
    if (m_hFile != INVALID_HANDLE_VALUE)
    {
        ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
    }
}

void CFile::ReportError(DWORD error) noexcept
{
    wchar_t text[MAX_PATH + 128];
    _snwprintf(text, sizeof(text) / sizeof(text[0]) - 1,
               L"An error occurred while accessing %ls (error %lu).", m_szPath,
               static_cast<unsigned long>(error));
    text[sizeof(text) / sizeof(text[0]) - 1] = L'\0';
    AfxMessageBox(::GetActiveWindow(), text, MB_OK | MB_ICONSTOP);
}

namespace
{

void CleanupSockets()
{
    ::WSACleanup();
}

} // namespace

BOOL AfxSocketInit() noexcept
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(1, 1), &data) != 0)
    {
        return FALSE;
    }
    if (data.wVersion != MAKEWORD(1, 1))
    {
        ::WSACleanup();
        ::WSASetLastError(WSAVERNOTSUPPORTED);
        return FALSE;
    }
    std::atexit(CleanupSockets);
    return TRUE;
}
