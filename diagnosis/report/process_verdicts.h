// The report's answer to support's first question, "why is my program not
// using the VPN?": for every running process, whether the provider works in
// it, judged from what this program can see. A process is intercepted when it
// is listed in applist.ini (as DetermineBindType decides), was created after
// the binding started, and has the provider of its own bitness loaded
// (Winsock loads it with the first socket): NorvexBind.dll in a 32-bit
// process, NorvexBind64.dll in a 64-bit one. A process of the other bitness
// than this program is read through its loader list (loader_list.h); where
// that cannot be done, the verdict says so.
#pragma once

#include <windows.h>

#include <string>

// What is known about one process; unknowns stay unknown.
struct ProcessFacts
{
    enum class Answer
    {
        Unknown,
        No,
        Yes,
    };

    DWORD processId = 0;
    std::wstring imagePath;       // the full path, or only the file name
    bool isImagePathFull = false; // whether imagePath is the full path
    std::wstring bindType;        // the matching section; empty when none
    ULONGLONG createTime = 0;     // FILETIME units; 0 when it cannot be read
    int bits = 0;                 // 32 or 64; 0 when it cannot be told
    Answer isProviderLoaded = Answer::Unknown; // the provider of its bitness
    // When isProviderLoaded is Unknown: the error of the module listing, or,
    // for a process of the other bitness, why its modules could not be
    // read (then moduleError may be 0).
    DWORD moduleError = 0;
    std::wstring whyModulesUnknown;
};

// The binding as the control block shows it.
struct BindingState
{
    bool isKnown = false;    // the block could be read
    ULONGLONG startTime = 0; // 0: stopped
    DWORD vpnIp = 0;         // network byte order
};

// The verdict on one process, in plain words.
std::wstring JudgeProcess(const ProcessFacts& facts, const BindingState& binding);

// The whole section: the binding's state, then one line per process,
// "[id] path, section "name": verdict".
std::wstring AcceleratedProcessesText();
