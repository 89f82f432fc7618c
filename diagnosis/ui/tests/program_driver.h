// Drives the real diagnosis program from another process, as a user would:
// starts it, waits for its dialog, fills in the statement and the comments,
// clicks Start, answers the completion box, saves the report through the
// Save As dialog, and closes the program. Every wait is bounded; the program
// is ended if a step fails. Works across bitness (a 64-bit driver can drive
// the 32-bit program): it only finds windows and sends them messages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct DiagnosisProgramRun
{
    std::wstring comments;         // typed into the comments box
    bool isNetworkBroken = false;  // the "Broken" statement instead of "OK"
    bool queryNetConnections = false;
    // After the run, Enter is pressed in the report box and on a check box;
    // the program must go on running (a report that was never saved would
    // be lost with the dialog).
    bool pressEnterAfterTheRun = false;
    DWORD stepTimeoutMs = 120000;  // for each step: start, the report run, saving, closing
};

struct DiagnosisProgramResult
{
    bool didSave = false;      // the report file was written and "Save OK" shown
    bool didExit = false;      // the program ended after Close
    DWORD exitCode = 0;
    std::wstring failure;      // the step that failed, empty when none did
    std::vector<std::wstring> boxTexts; // message boxes answered, in order
    DWORD reportRunMs = 0;     // from the click on Start to the completion box
};

// Runs programPath (full path) and saves its report to reportPath, which is
// replaced if it exists.
DiagnosisProgramResult DriveDiagnosisProgram(const std::wstring& programPath, const std::wstring& reportPath,
                                             const DiagnosisProgramRun& run);
