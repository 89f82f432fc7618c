// Drives the diagnosis dialog without a user, for tests and the demo: code
// runs inside the dialog's own modal loop, buttons are clicked by their
// notifications, and every message box the program shows is answered with OK
// and its text noted.
#pragma once

#include "dlg_vpn_diagnosis.h"

#include <functional>
#include <string>
#include <vector>

// Opens dialog as a modal dialog, runs step inside its loop, then closes it.
void RunDialog(CDlgVpnDiagnosis& dialog, const std::function<void(CDlgVpnDiagnosis&)>& step);
// The same with a dialog of its own.
void RunDialog(const std::function<void(CDlgVpnDiagnosis&)>& step);

// Sends the button's click and returns when its handler has returned; message
// boxes shown meanwhile are answered.
void Click(CDlgVpnDiagnosis& dialog, UINT id);

// Texts of the message boxes answered since the last RunDialog began.
const std::vector<std::wstring>& AnsweredBoxTexts();

// The Save As prompt answers with this path while set (empty: prompt as usual).
void AnswerSaveAsWith(const std::wstring& path);
