// Helpers shared by the test programs: where the built binaries lie, running a
// child program with its output captured, and a scratch folder.
#pragma once

#include <windows.h>

#include <string>

// Folder of the running test program, ending in a backslash. The provider,
// the tools and the test programs are all built into it.
std::wstring GetTestBinFolder();

// How many handles this process holds, from the system's handle table
// (Wine's GetProcessHandleCount always answers 0). 0 when it cannot tell.
DWORD CountOwnHandles();

// The whole content of a file, empty when it cannot be opened.
std::string ReadFileBytes(const std::wstring& path);

struct ChildResult
{
    bool didStart = false;
    bool didFinish = false; // false: killed after the time-out
    DWORD exitCode = 0;
    std::string output; // standard output and error, as the child wrote them
};

// Where 32-bit Wine runs under the emulator (NORVEX_RETRY_SILENT_STARTS=1,
// set by scripts/run_tests.sh), a process now and then dies before its main.
// The helpers below then start a child once more when it ended in failure
// without printing anything (or, for a window program, before its window
// appeared), saying so on standard output; nowhere else.
bool IsSilentStartRetried();

// Runs commandLine (program path quoted by the caller as needed) with its
// standard output and error captured; the child is killed after timeoutMs.
// Bounded in every step: output that another process keeps open is read for
// at most 10 s after the child has ended.
ChildResult RunChild(const std::wstring& commandLine, DWORD timeoutMs = 30000);

// A program that runs until the object goes: started with " --until-event
// NAME" after its arguments (the stand-in programs wait on that event), and
// on destruction the event is set and the program gets 20 s to end before it
// is killed. Construction waits (up to 30 s) until the program has printed
// its first line, which the stand-ins do once they are ready; its output
// goes to a file that nothing waits on, never to a pipe.
class HeldChild
{
public:
    // program is a full path (quoted here); eventName unique to the test.
    HeldChild(const std::wstring& program, const std::wstring& arguments, const std::wstring& eventName);
    ~HeldChild();
    HeldChild(const HeldChild&) = delete;
    HeldChild& operator=(const HeldChild&) = delete;

    // Started and ready (it printed), or at least still running.
    bool IsStarted() const { return m_process.hProcess != nullptr; }
    DWORD Id() const { return m_process.dwProcessId; }
    // Sets the event and waits up to timeoutMs for the program to end; true
    // when it ended, with its exit code.
    bool Release(DWORD timeoutMs, DWORD* exitCode);

private:
    // False when it ended before printing anything.
    bool Start(const std::wstring& commandLine);

    HANDLE m_event = nullptr;
    HANDLE m_output = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION m_process{};
};

// A fresh, empty folder under the temporary folder, removed with its content
// when the object goes.
class ScratchFolder
{
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Ends in a backslash.
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

// Sets the product's applist.ini aside for the life of the object, so that a
// test or demo can write its own; on destruction the test's list is deleted
// and the one found before (if any) is put back.
class ScopedProductList
{
public:
    ScopedProductList();
    ~ScopedProductList();
    ScopedProductList(const ScopedProductList&) = delete;
    ScopedProductList& operator=(const ScopedProductList&) = delete;

    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    std::wstring m_savedPath;
    bool m_hadList = false;
};
