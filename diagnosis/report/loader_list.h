// The modules of another process, read from that process's own loader list
// (PEB -> PEB_LDR_DATA -> InLoadOrderModuleList), for the processes whose
// modules Tool Help cannot list from here: a 64-bit process seen from this
// 32-bit program (through the WOW64 functions of ntdll), or the 32-bit side
// of a WOW64 process seen from a 64-bit program. The walk itself reads
// through a caller's function, so that it can be checked against memory
// images made by tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The layout of the structures the walk reads.
enum class LoaderLayout
{
    Bits32,
    Bits64,
};

// Reads cb bytes at address of the other process; false when any of them
// cannot be read.
struct RemoteMemory
{
    bool (*read)(void* context, ULONGLONG address, void* buffer, ULONG cb);
    void* context;
};

// At most this many entries are read: a list changed under the walk (the
// process loads and unloads modules meanwhile) may lead into a loop.
constexpr int kMaxLoaderEntries = 4096;

struct LoaderModules
{
    // True when the walk came back to the list's head: names holds every
    // module. False when a read failed or the list was too long; names then
    // holds the ones read before.
    bool isComplete = false;
    std::wstring imagePath;          // the first entry's full path: the program's
    std::vector<std::wstring> names; // base names, in load order
};

// Walks the list of the process whose PEB is at pebAddress.
LoaderModules ReadLoaderModules(const RemoteMemory& memory, LoaderLayout layout, ULONGLONG pebAddress);

// The answer for a process of the other bitness than this program.
struct OtherBitnessModules
{
    bool isRead = false; // modules is the process's list, or part of it
    LoaderModules modules;
    // When not read: why, in plain words, and the error code (0 for none).
    std::wstring whyNot;
    DWORD error = 0;
};

// process needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ. This 32-bit
// program reads a 64-bit process with NtWow64QueryInformationProcess64 and
// NtWow64ReadVirtualMemory64; a 64-bit program reads the 32-bit loader list
// of a WOW64 process, whose PEB ProcessWow64Information gives.
OtherBitnessModules ReadOtherBitnessModules(HANDLE process);
