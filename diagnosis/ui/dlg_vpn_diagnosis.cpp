#include "dlg_vpn_diagnosis.h"

#include "http_test.h"
#include "localized_strings.h"
#include "lsp_health.h"
#include "process_verdicts.h"
#include "common/ansi_text.h"
#include "report_text.h"
#include "resource.h"
#include "system_probes.h"
#include "vpn_diagnosis_app.h"
#include "vpnbind_probes.h"

#include <ctime>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace
{

const DWORD kLabelStyle = WS_CHILD | WS_VISIBLE;
const DWORD kRadioStyle = WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON;
const DWORD kCheckStyle = WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX;
const DWORD kPushStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
const DWORD kEditStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | ES_MULTILINE |
                         ES_AUTOVSCROLL | ES_AUTOHSCROLL;
const UINT kNoId = 0xFFFF;
const UINT kCheckBoxId = static_cast<UINT>(-1);

std::wstring WindowText(HWND hWnd)
{
    const int cchText = ::GetWindowTextLengthW(hWnd);
    std::wstring text(static_cast<size_t>(cchText) + 1, L'\0');
    const int cchCopied = ::GetWindowTextW(hWnd, &text[0], cchText + 1);
    text.resize(static_cast<size_t>(cchCopied > 0 ? cchCopied : 0));
    return text;
}

std::wstring Trimmed(const std::wstring& text)
{
    size_t first = 0;
    size_t end = text.size();
    while (first < end && std::iswspace(text[first]))
    {
        ++first;
    }
    while (end > first && std::iswspace(text[end - 1]))
    {
        --end;
    }
    return text.substr(first, end - first);
}

// "Yes" when this 32-bit process runs on a 64-bit system. The function is
// missing before XP SP2, so it is looked up, never imported.
const wchar_t* IsOnWindows64Text()
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "IsWow64Process")));
    BOOL isWow64 = FALSE;
    if (isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &isWow64) && isWow64)
    {
        return L"Yes";
    }
    return L"No";
}

// The report's time stamp as local year-month-day hours:minutes:seconds, or
// empty when it cannot be converted. Taken from the system clock in FILETIME
// units: the runtime's 64-bit time functions are missing from Windows 2000's
// msvcrt.dll.
std::wstring LocalTimeText(const FILETIME& stamp)
{
    FILETIME local;
    SYSTEMTIME parts;
    if (!::FileTimeToLocalFileTime(&stamp, &local) || !::FileTimeToSystemTime(&local, &parts))
    {
        return std::wstring();
    }
    return FormatText(L"%04u-%02u-%02u %02u:%02u:%02u", parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
                      parts.wMinute, parts.wSecond);
}

// The caption of a checked radio button, else nothing.
std::wstring CaptionIfChecked(CButton& button)
{
    return button.GetCheck() ? WindowText(button.m_hWnd) : std::wstring();
}

void InfoBox(HWND owner, const std::wstring& text)
{
    AfxMessageBox(owner, text.c_str(), MB_OK | MB_ICONINFORMATION);
}

} // namespace

CDlgVpnDiagnosis::CDlgVpnDiagnosis() noexcept : CDialog(IDD_VPN_DIAGNOSIS, nullptr)
{
    m_redirector.m_pDialog = this;
    m_hIcon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                              IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
}

const DialogMessageMapEntry* CDlgVpnDiagnosis::GetMessageMap() const
{
    using Command = void (CDialog::*)();
    using Message = LRESULT (CDialog::*)(WPARAM, LPARAM);
    static const DialogMessageMapEntry kEntries[] = {
        { WM_REDIRECTOR_NOTIFY, 0, 0, nullptr,
          static_cast<Message>(&CDlgVpnDiagnosis::OnRedirectorNotify) },
        { WM_COMMAND, BN_CLICKED, IDC_START_DIAGNOSIS,
          static_cast<Command>(&CDlgVpnDiagnosis::OnStartDiagnosis), nullptr },
        { WM_COMMAND, BN_CLICKED, IDC_COPY_REPORT,
          static_cast<Command>(&CDlgVpnDiagnosis::OnCopyReport), nullptr },
        { WM_COMMAND, BN_CLICKED, IDC_SAVE_REPORT,
          static_cast<Command>(&CDlgVpnDiagnosis::OnSaveReport), nullptr },
        // Enter in the report box or on a check box asks for the default
        // button, IDOK, which this dialog does not have: it must not close
        // the dialog and lose a report that was never saved.
        { WM_COMMAND, BN_CLICKED, IDOK, static_cast<Command>(&CDlgVpnDiagnosis::OnEnterKey), nullptr },
        { 0, 0, 0, nullptr, nullptr },
    };
    return kEntries;
}

BOOL CDlgVpnDiagnosis::OnInitDialog()
{
    CDialog::OnInitDialog();
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, 600, 600, SWP_NOMOVE | SWP_NOZORDER);
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    CFont* guiFont = theApp.m_pGuiFont;
    auto button = [&](CButton& control, const char* key, DWORD style, RECT rect, UINT id) {
        control.Create(GetLocalizedString(key).c_str(), style, rect, this, id);
        control.SetFont(guiFont);
    };
    auto label = [&](CStatic& control, const char* key, RECT rect) {
        control.Create(GetLocalizedString(key).c_str(), kLabelStyle, rect, this, kNoId);
        control.SetFont(guiFont);
    };
    auto edit = [&](CEdit& control, DWORD style, RECT rect, UINT id, CFont* font) {
        control.Create(style, rect, this, id);
        const LONG_PTR exStyle = ::GetWindowLongPtrW(control.m_hWnd, GWL_EXSTYLE);
        ::SetWindowLongPtrW(control.m_hWnd, GWL_EXSTYLE, exStyle | WS_EX_CLIENTEDGE | WS_EX_NOPARENTNOTIFY);
        ::SetWindowPos(control.m_hWnd, nullptr, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
        control.SendMessage(EM_LIMITTEXT, 0xFFFFFFFF);
        control.SetFont(font);
    };

    label(m_labelStatus, "NetworkStatus", { 20, 22, 170, 42 });
    button(m_radioStatusOk, "NetworkStatusOK", kRadioStyle, { 180, 20, 280, 40 }, IDC_STATUS_OK);
    m_radioStatusOk.SetCheck(BST_CHECKED);
    button(m_radioStatusBroken, "NetworkStatusBroken", kRadioStyle, { 290, 20, 390, 40 }, IDC_STATUS_BROKEN);
    label(m_labelComments, "UserComments", { 20, 42, 120, 62 });
    edit(m_editComments, kEditStyle | ES_WANTRETURN, { 20, 60, 580, 140 }, IDC_COMMENTS, guiFont);
    ::SetFocus(m_editComments.m_hWnd);
    button(m_btnStart, "StartDiagnosis", kPushStyle, { 20, 145, 140, 175 }, IDC_START_DIAGNOSIS);
    button(m_btnCopy, "CopyReportToClipboard", kPushStyle, { 150, 145, 320, 175 }, IDC_COPY_REPORT);
    m_btnCopy.EnableWindow(FALSE);
    button(m_btnSave, "SaveReportToFile", kPushStyle, { 330, 145, 470, 175 }, IDC_SAVE_REPORT);
    m_btnSave.EnableWindow(FALSE);
    button(m_btnClose, "Close", kPushStyle, { 480, 145, 580, 175 }, IDCANCEL);
    label(m_labelOptions, "DiagnosisOptions", { 20, 190, 140, 210 });
    button(m_checkFullModuleList, "QueryFullModuleList", kCheckStyle, { 140, 188, 310, 208 }, kCheckBoxId);
    button(m_checkNetConnections, "QueryNetConnections", kCheckStyle, { 310, 188, 480, 208 }, kCheckBoxId);
    label(m_labelReport, "DiagnosisReport", { 20, 210, 120, 230 });
    edit(m_editReport, kEditStyle | ES_READONLY, { 20, 230, 580, 560 }, IDC_REPORT, theApp.m_pFixedFont);
    return FALSE;
}

void CDlgVpnDiagnosis::AppendReportText(const wchar_t* text) noexcept
{
    const int cchReport = ::GetWindowTextLengthW(m_editReport.m_hWnd);
    m_editReport.SendMessage(EM_SETSEL, cchReport, cchReport);
    m_editReport.SendMessage(EM_SCROLLCARET);
    m_editReport.SendMessage(EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void CDlgVpnDiagnosis::OnStartDiagnosis()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    g_pfnGetVersionEx(&version);

    ::SetWindowTextW(m_editReport.m_hWnd, L"");
    AppendReportText((GetLocalizedString("NetworkStatus") + CaptionIfChecked(m_radioStatusOk) +
                      CaptionIfChecked(m_radioStatusBroken) + L"\r\n").c_str());
    const std::wstring comments = Trimmed(WindowText(m_editComments.m_hWnd));
    if (!comments.empty())
    {
        AppendReportText((GetLocalizedString("UserComments") + comments + L"\r\n").c_str());
    }
    FILETIME stamp;
    ::GetSystemTimeAsFileTime(&stamp);
    m_btnStart.EnableWindow(FALSE);

    auto header = [this](const wchar_t* title) {
        AppendReportText((std::wstring(L"================= ") + title + L" =================\r\n").c_str());
    };
    // A probe's text, then a line end of the run's own (an empty line after
    // texts that end in one).
    auto block = [this](const std::wstring& text) { AppendReportText((text + L"\r\n").c_str()); };

    header(L"Operating System");
    block(GetOsVersionText());
    block(std::wstring(L"IsOnWindows64: ") + IsOnWindows64Text());
    block(L"Datetime: " + LocalTimeText(stamp));
    header(L"HTTP Connection");
    for (const HttpTarget* target : { &kPublicWebSite, &kVendorWebSite })
    {
        block(TestHttpConnection(target->host, target->backupIp));
    }
    header(L"VpnBind ControlBlock");
    block(GetVpnBindControlBlockInfo());
    header(L"Process List");
    block(GetProcessListText());
    header(L"LSP List");
    block(GetLspListText());
    header(L"Vpn Accelerated Apps");
    block(GetAcceleratedAppsText());

    // Command output goes in as it comes, with no line end added.
    header(L"ipconfig");
    RunCommandIntoReport(L"ipconfig /all");
    header(L"route");
    RunCommandIntoReport(L"route print");
    if (m_checkNetConnections.GetCheck())
    {
        // Windows 2000's netstat has no -b.
        const bool isWindows2000 = version.dwMajorVersion == 5 && version.dwMinorVersion == 0;
        header(L"netstat");
        RunCommandIntoReport(isWindows2000 ? L"netstat -an" : L"netstat -anb");
    }
    // Beyond the commands, before the end: which processes the provider
    // works in and why, and whether the catalog is as it should be.
    header(L"Vpn Accelerated Processes");
    block(AcceleratedProcessesText());
    header(L"LSP Health");
    block(LspHealthText());
    header(L"[over]");

    m_btnStart.EnableWindow(TRUE);
    m_btnCopy.EnableWindow(TRUE);
    m_btnSave.EnableWindow(TRUE);
    InfoBox(m_hWnd, GetLocalizedString("DiagnosisCompleted"));
}

void CDlgVpnDiagnosis::RunCommandIntoReport(const wchar_t* commandLine)
{
    // Console programs write in the console's code page, the OEM one, which
    // differs from the ANSI one on most systems. A double-byte character may
    // be split between two takes: its first byte waits for the next.
    std::string pending;
    auto appendTaken = [this, &pending](bool isLast) {
        std::string bytes = pending + m_redirector.TakeOutput();
        const size_t cbWhole = isLast ? bytes.size() : WholeCharacterBytes(CP_OEMCP, bytes.data(), bytes.size());
        pending.assign(bytes, cbWhole, std::string::npos);
        const std::wstring text = CodePageToWide(CP_OEMCP, bytes.data(), cbWhole);
        if (!text.empty())
        {
            AppendReportText(text.c_str());
        }
    };
    m_redirector.Open(commandLine);
    // The reader posts WM_REDIRECTOR_NOTIFY after every chunk and once after
    // the end, and clears the child handle before that last notice.
    while (m_redirector.m_hChildProcess != nullptr && AfxGetApp()->PumpMessage())
    {
        appendTaken(false);
    }
    appendTaken(true);
}

std::wstring CDlgVpnDiagnosis::GetProcessListText()
{
    return ProcessListText(m_checkFullModuleList.GetCheck() != 0);
}

void CDlgVpnDiagnosis::OnEnterKey()
{
}

void CDlgVpnDiagnosis::OnCopyReport()
{
    m_editReport.SendMessage(EM_SETSEL, 0, -1);
    m_editReport.SendMessage(EM_SCROLLCARET);
    m_editReport.SendMessage(WM_COPY);
    InfoBox(m_hWnd, GetLocalizedString("CopyReportOK"));
}

std::wstring CDlgVpnDiagnosis::ProposedFileName()
{
    wchar_t stamp[128] = L"";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now))
    {
        if (std::wcsftime(stamp, 128, L"%Y-%m-%d %H_%M_%S", local) == 0)
        {
            stamp[0] = L'\0';
        }
    }
    return GetLocalizedString("SaveFileNamePrefix") + stamp + L".txt";
}

std::string CDlgVpnDiagnosis::ReportAsAnsi() const
{
    return WideToAnsi(WindowText(m_editReport.m_hWnd));
}

void CDlgVpnDiagnosis::OnSaveReport()
{
    std::vector<wchar_t> path(MAX_PATH, L'\0');
    const std::wstring proposed = ProposedFileName();
    wcsncpy(path.data(), proposed.c_str(), MAX_PATH - 1);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = L"Text file(*.txt)\0*.txt\0";
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = L"txt";
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
    if (!g_pfnGetSaveFileName(&ofn))
    {
        return;
    }
    CFile file;
    if (!file.Open(path.data(), CFile::modeCreate | CFile::modeWrite))
    {
        return;
    }
    const std::string bytes = ReportAsAnsi();
    if (!file.Write(bytes.data(), static_cast<DWORD>(bytes.size())))
    {
        return;
    }
    file.Close();
    InfoBox(m_hWnd, GetLocalizedString("SaveReportOK"));
}

LRESULT CDlgVpnDiagnosis::OnRedirectorNotify(WPARAM, LPARAM)
{
    // Only wakes the user-interface thread; the run's command loop takes the
    // output.
    return 0;
}
