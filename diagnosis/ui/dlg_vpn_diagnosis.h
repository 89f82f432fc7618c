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

    void OnStartDiagnosis();
    void OnCopyReport();
    void OnSaveReport();
    LRESULT OnRedirectorNotify(WPARAM wParam, LPARAM lParam);

    // Proposed name for saving: prefix text plus local time stamp plus ".txt".
    static std::wstring ProposedFileName();
    // The report box's text in the thread's ANSI code page, as saved.
    std::string ReportAsAnsi() const;

protected:
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
