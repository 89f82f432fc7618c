// The report's answer to support's first question, "why is my program not
// using the VPN?": for every running process, whether the provider works in
// it, judged from what this program can see. A process is intercepted when it
// is listed in applist.ini (as DetermineBindType decides), was created after
// the binding started, is of a bitness the provider covers, and has the
// provider's library loaded (Winsock loads it with the first socket).
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
    Answer isOtherBitness = Answer::Unknown; // of another bitness than the provider
    Answer isProviderLoaded = Answer::Unknown;
    DWORD moduleError = 0; // why the modules could not be read, when Unknown
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
