#include "program_driver.h"

#include "resource.h"
#include "tests/support/test_support.h"

#include <cstdio>
#include <functional>

namespace
{

// The static control that holds a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;
// The file name box of the Save As dialog: a combo box in the explorer-style
// template, an edit control in older ones.
constexpr int kFileNameComboId = 0x47C; // cmb13
constexpr int kFileNameEditId = 0x480;  // edt1

struct Windows
{
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter)
{
    auto* windows = reinterpret_cast<Windows*>(parameter);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (processId == windows->processId && ::IsWindowVisible(window))
    {
        windows->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> TopWindowsOf(DWORD processId)
{
    Windows windows{processId, {}};
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows.found;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = L"";
    // WM_GETTEXT through SendMessageTimeout: a hung program never hangs us.
    DWORD_PTR cch = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &cch);
    return std::wstring(text, cch < 1024 ? cch : 0);
}

bool IsMessageBox(HWND window)
{
    return ::GetDlgItem(window, kMessageBoxTextId) != nullptr && ::GetDlgItem(window, IDC_START_DIAGNOSIS) == nullptr;
}

HWND FileNameBoxOf(HWND window)
{
    HWND box = ::GetDlgItem(window, kFileNameComboId);
    return box != nullptr ? box : ::GetDlgItem(window, kFileNameEditId);
}

HWND FindChildByText(HWND parent, const std::wstring& text)
{
    for (HWND child = ::GetWindow(parent, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
    {
        if (TextOf(child) == text)
        {
            return child;
        }
    }
    return nullptr;
}

void PostClick(HWND dialog, int id)
{
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

class Driver
{
public:
    Driver(const DiagnosisProgramRun& run, DiagnosisProgramResult& result) : m_run(run), m_result(result) {}
    ~Driver()
    {
        if (m_process.hProcess != nullptr)
        {
            if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
            {
                ::TerminateProcess(m_process.hProcess, 0xDEAD);
                ::WaitForSingleObject(m_process.hProcess, 5000);
            }
            ::CloseHandle(m_process.hThread);
            ::CloseHandle(m_process.hProcess);
        }
    }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    bool Start(const std::wstring& programPath)
    {
        if (StartOnce(programPath) || !IsSilentStartRetried() || m_dialog != nullptr
            || ::WaitForSingleObject(m_process.hProcess, 0) != WAIT_OBJECT_0)
        {
            return m_result.failure.empty();
        }
        // Ended before its window appeared: a start the emulator lost.
        std::printf("program_driver: %ls ended before its dialog appeared; started once more\n", programPath.c_str());
        ::CloseHandle(m_process.hThread);
        ::CloseHandle(m_process.hProcess);
        m_process = {};
        m_result.failure.clear();
        return StartOnce(programPath);
    }

    bool StartOnce(const std::wstring& programPath)
    {
        std::wstring commandLine = L"\"" + programPath + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (!::CreateProcessW(programPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &m_process))
        {
            m_process = {};
            return Fail(L"CreateProcess failed " + std::to_wstring(::GetLastError()));
        }
        return WaitFor(L"the dialog", [this] {
            for (HWND window : TopWindowsOf(m_process.dwProcessId))
            {
                if (::GetDlgItem(window, IDC_START_DIAGNOSIS) != nullptr)
                {
                    m_dialog = window;
                }
            }
            return m_dialog != nullptr;
        });
    }

    bool FillIn()
    {
        ::SendMessageW(::GetDlgItem(m_dialog, IDC_COMMENTS), WM_SETTEXT, 0,
                       reinterpret_cast<LPARAM>(m_run.comments.c_str()));
        if (m_run.isNetworkBroken)
        {
            ::SendMessageW(::GetDlgItem(m_dialog, IDC_STATUS_OK), BM_SETCHECK, BST_UNCHECKED, 0);
            ::SendMessageW(::GetDlgItem(m_dialog, IDC_STATUS_BROKEN), BM_SETCHECK, BST_CHECKED, 0);
        }
        if (m_run.queryNetConnections)
        {
            HWND box = FindChildByText(m_dialog, L"Query network connections");
            if (box == nullptr)
            {
                return Fail(L"no network connections check box");
            }
            ::SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
        }
        return true;
    }

    bool RunReport()
    {
        const DWORD started = ::GetTickCount();
        PostClick(m_dialog, IDC_START_DIAGNOSIS);
        if (!AnswerBox(L"the completion box"))
        {
            return false;
        }
        m_result.reportRunMs = ::GetTickCount() - started;
        return true;
    }

    // Enter as the keyboard sends it, to a control of the dialog: the
    // dialog's own loop turns it into the default button's command.
    bool PressEnter()
    {
        HWND checkBox = FindChildByText(m_dialog, L"Query network connections");
        for (HWND control : {::GetDlgItem(m_dialog, IDC_REPORT), checkBox})
        {
            if (control == nullptr)
            {
                return Fail(L"no control to press Enter in");
            }
            ::PostMessageW(control, WM_KEYDOWN, VK_RETURN, 0x001C0001);
            ::PostMessageW(control, WM_CHAR, L'\r', 0x001C0001);
            ::PostMessageW(control, WM_KEYUP, VK_RETURN, 0xC01C0001);
        }
        // Long enough for the program to have handled the keys.
        if (::WaitForSingleObject(m_process.hProcess, 1000) != WAIT_TIMEOUT || !::IsWindowVisible(m_dialog))
        {
            return Fail(L"the dialog closed on Enter");
        }
        return true;
    }

    bool Save(const std::wstring& reportPath)
    {
        ::DeleteFileW(reportPath.c_str());
        PostClick(m_dialog, IDC_SAVE_REPORT);
        HWND saveAs = nullptr;
        if (!WaitFor(L"the Save As dialog", [&] {
                for (HWND window : TopWindowsOf(m_process.dwProcessId))
                {
                    if (window != m_dialog && FileNameBoxOf(window) != nullptr)
                    {
                        saveAs = window;
                    }
                }
                return saveAs != nullptr;
            }))
        {
            return false;
        }
        ::SendMessageW(FileNameBoxOf(saveAs), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(reportPath.c_str()));
        PostClick(saveAs, IDOK);
        if (!AnswerBox(L"the saved box"))
        {
            return false;
        }
        m_result.didSave = ::GetFileAttributesW(reportPath.c_str()) != INVALID_FILE_ATTRIBUTES;
        return m_result.didSave || Fail(L"no report file after saving");
    }

    bool Close()
    {
        PostClick(m_dialog, IDCANCEL);
        if (::WaitForSingleObject(m_process.hProcess, m_run.stepTimeoutMs) != WAIT_OBJECT_0)
        {
            return Fail(L"the program did not end after Close");
        }
        m_result.didExit = true;
        ::GetExitCodeProcess(m_process.hProcess, &m_result.exitCode);
        return true;
    }

private:
    bool Fail(const std::wstring& failure)
    {
        if (m_result.failure.empty())
        {
            m_result.failure = failure;
        }
        return false;
    }

    // Polls until ready() holds; fails when the program ends first or the
    // step's time is up.
    bool WaitFor(const std::wstring& what, const std::function<bool()>& ready)
    {
        const DWORD started = ::GetTickCount();
        while (!ready())
        {
            DWORD exitCode = 0;
            if (::WaitForSingleObject(m_process.hProcess, 20) == WAIT_OBJECT_0)
            {
                ::GetExitCodeProcess(m_process.hProcess, &exitCode);
                wchar_t code[16];
                std::swprintf(code, 16, L"0x%08lx", exitCode);
                return Fail(L"the program ended with code " + std::wstring(code) + L" while waiting for " + what);
            }
            if (::GetTickCount() - started > m_run.stepTimeoutMs)
            {
                return Fail(L"timed out waiting for " + what);
            }
        }
        return true;
    }

    // Waits for the next message box, notes its text and answers it with OK.
    bool AnswerBox(const std::wstring& what)
    {
        HWND box = nullptr;
        if (!WaitFor(what, [&] {
                for (HWND window : TopWindowsOf(m_process.dwProcessId))
                {
                    if (IsMessageBox(window))
                    {
                        box = window;
                    }
                }
                return box != nullptr;
            }))
        {
            return false;
        }
        m_result.boxTexts.push_back(TextOf(::GetDlgItem(box, kMessageBoxTextId)));
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return WaitFor(what + L" to close", [box] { return !::IsWindow(box) || !::IsWindowVisible(box); });
    }

    const DiagnosisProgramRun& m_run;
    DiagnosisProgramResult& m_result;
    PROCESS_INFORMATION m_process{};
    HWND m_dialog = nullptr;
};

} // namespace

DiagnosisProgramResult DriveDiagnosisProgram(const std::wstring& programPath, const std::wstring& reportPath,
                                             const DiagnosisProgramRun& run)
{
    DiagnosisProgramResult result;
    Driver driver(run, result);
    if (driver.Start(programPath) && driver.FillIn() && driver.RunReport()
        && (!run.pressEnterAfterTheRun || driver.PressEnter()) && driver.Save(reportPath))
    {
        driver.Close();
    }
    return result;
}
