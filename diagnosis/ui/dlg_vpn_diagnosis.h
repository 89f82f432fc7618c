// The diagnosis dialog, the program's only window: network state, comments,
// report options, the report box and its buttons. It owns the console
// redirector that the report run uses, and is the window it notifies.
#pragma once

#include "console_redirector.h"
#include "window.h"

#include <string>

class CDlgVpnDiagnosis : public CDialog
{
public:
    CDlgVpnDiagnosis() noexcept;
    ~CDlgVpnDiagnosis() override = default;

    // The one way text enters the report box: appended at the end, which
    // stays in view.
    void AppendReportText(const wchar_t* text) noexcept;

    // The report run: status and comments, the probes' sections in their
    // fixed order, then the console commands, whose output streams in while
    // the dialog keeps answering.
    void OnStartDiagnosis();
    void OnCopyReport();
    void OnSaveReport();
    // Enter anywhere in the dialog: nothing happens (Close and Esc close it).
    void OnEnterKey();
    LRESULT OnRedirectorNotify(WPARAM wParam, LPARAM lParam);

    // Proposed name for saving: prefix text plus local time stamp plus ".txt".
    static std::wstring ProposedFileName();
    // The report box's text in the thread's ANSI code page, as saved.
    std::string ReportAsAnsi() const;

    // The process list, with every module when the user asked for it.
    std::wstring GetProcessListText();

protected:
    // Runs one console command and appends its output as it arrives, pumping
    // the dialog's messages until the command has ended. Virtual so tests can
    // run their own commands through the same path.
    virtual void RunCommandIntoReport(const wchar_t* commandLine);

    const DialogMessageMapEntry* GetMessageMap() const override;
    BOOL OnInitDialog() override;

public:
    CConsoleRedirectorDiagnosis m_redirector;
    CButton m_radioStatusOk;
    CButton m_radioStatusBroken;
    CStatic m_labelStatus;
    CStatic m_labelComments;
    CStatic m_labelReport;
    CStatic m_labelOptions;
    CButton m_checkFullModuleList;
    CButton m_checkNetConnections;
    CEdit m_editComments;
    CEdit m_editReport;
    CButton m_btnStart;
    CButton m_btnSave;
    CButton m_btnCopy;
    CButton m_btnClose;
    HICON m_hIcon;
};
