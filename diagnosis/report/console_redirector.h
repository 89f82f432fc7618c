// Runs one console command at a time as a hidden child whose standard output
// and standard error share one pipe, read by a polling thread of its own.
// CConsoleRedirectorDiagnosis buffers what the child writes and wakes the
// dialog with WM_REDIRECTOR_NOTIFY; the dialog takes the text on its own
// thread with TakeOutput, which hands the caller the bytes and empties the
// buffer.
#pragma once

#include "framework.h"

#include <string>

// wParam 0: output arrived; wParam 1: the child finished. lParam is 0.
const UINT WM_REDIRECTOR_NOTIFY = WM_USER + 1;

class CConsoleRedirector
{
public:
    CConsoleRedirector() noexcept;
    virtual ~CConsoleRedirector();
    CConsoleRedirector(const CConsoleRedirector&) = delete;
    CConsoleRedirector& operator=(const CConsoleRedirector&) = delete;

    // Ends any previous command, then starts commandLine (found on the search
    // path) and the reader thread. FALSE leaves nothing open or running.
    BOOL Open(const wchar_t* commandLine) noexcept;
    // Ends the active command, if any; only one caller does the teardown, and
    // a caller other than the reader thread returns after the reader ended.
    void Close() noexcept;
    std::string TakeOutput();

protected:
    // Reader thread: every chunk read, then once after the child has ended
    // and the pipe has been drained and closed.
    virtual void OnChildOutput(const BYTE* data, DWORD length);
    virtual void OnChildTerminated();

    // Appends a chunk to the buffer TakeOutput empties; false when it could
    // not be stored.
    bool StoreOutput(const BYTE* data, DWORD length) noexcept;
    BOOL ReadAvailableOutput() noexcept;
    static DWORD WINAPI ReaderThreadProc(LPVOID parameter) noexcept;

public:
    HANDLE m_hThread;
    DWORD m_dwThreadId;
    DWORD m_dwWaitTime;
    CCriticalSection m_csThread;
    CCriticalSection m_csOutput;
    HANDLE m_hStdinWrite;
    HANDLE m_hStdoutRead;
    // Non-null exactly while a command is active; the UI thread reads it
    // without a lock.
    HANDLE volatile m_hChildProcess;
    CMemFile m_fileOutput;

private:
    // Readers that have not yet returned from OnChildTerminated. A reader
    // that ends on its own does its teardown itself, so Close cannot wait
    // for it; the destructor waits on this count instead, or the reader would
    // call into a destroyed object.
    volatile LONG m_cReadersRunning = 0;
};

// Tests only: called by Close right after it marks the command as ended
// (m_hChildProcess null), on the thread that does the teardown.
extern void (*g_pfnAfterCommandEnded)();

class CConsoleRedirectorDiagnosis : public CConsoleRedirector
{
public:
    // The window that receives WM_REDIRECTOR_NOTIFY; set by the dialog.
    CWnd* m_pDialog = nullptr;

protected:
    void OnChildOutput(const BYTE* data, DWORD length) override;
    void OnChildTerminated() override;
};

// Runs commandLine hidden, without a window to notify, and returns what it
// wrote. A command still running after timeoutMs is ended; *didFinish then
// says false. Empty when it could not be started (*didFinish false).
std::string RunCommandForOutput(const wchar_t* commandLine, DWORD timeoutMs, bool* didFinish);
