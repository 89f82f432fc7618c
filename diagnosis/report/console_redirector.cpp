#include "console_redirector.h"

#include <vector>

void (*g_pfnAfterCommandEnded)() = nullptr;

namespace
{

const DWORD kReadChunkBytes = 4096;

void CloseIfSet(HANDLE& handle) noexcept
{
    if (handle)
    {
        ::CloseHandle(handle);
        handle = nullptr;
    }
}

// Duplicates within this process, keeping the access of the source.
HANDLE DuplicateOwn(HANDLE source, BOOL inheritable) noexcept
{
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, source, self, &copy, 0, inheritable, DUPLICATE_SAME_ACCESS))
    {
        return nullptr;
    }
    return copy;
}

} // namespace

CConsoleRedirector::CConsoleRedirector() noexcept
    : m_hThread(nullptr),
      m_dwThreadId(0),
      m_dwWaitTime(100),
      m_hStdinWrite(nullptr),
      m_hStdoutRead(nullptr),
      m_hChildProcess(nullptr),
      m_fileOutput(1024)
{
}

CConsoleRedirector::~CConsoleRedirector()
{
    Close();
    while (::InterlockedCompareExchange(&m_cReadersRunning, 0, 0) != 0)
    {
        ::Sleep(1);
    }
}

void CConsoleRedirector::OnChildOutput(const BYTE*, DWORD)
{
}

void CConsoleRedirector::OnChildTerminated()
{
}

BOOL CConsoleRedirector::Open(const wchar_t* commandLine) noexcept
{
    Close();
    if (!commandLine)
    {
        return FALSE;
    }

    SECURITY_ATTRIBUTES inherit = { sizeof(inherit), nullptr, TRUE };
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    HANDLE errWrite = nullptr;
    HANDLE inRead = nullptr;
    HANDLE inWrite = nullptr;
    HANDLE process = nullptr;
    // Every early exit closes what was created so far and leaves the object idle.
    auto fail = [&]() noexcept {
        if (process)
        {
            ::TerminateProcess(process, 0);
            ::CloseHandle(process);
        }
        CloseIfSet(outRead);
        CloseIfSet(outWrite);
        CloseIfSet(errWrite);
        CloseIfSet(inRead);
        CloseIfSet(inWrite);
        CloseIfSet(m_hStdoutRead);
        CloseIfSet(m_hStdinWrite);
        return FALSE;
    };

    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0))
    {
        return fail();
    }
    // Standard error gets its own handle to the same pipe, so both streams
    // arrive in the order the child wrote them.
    errWrite = DuplicateOwn(outWrite, TRUE);
    if (!errWrite || !::CreatePipe(&inRead, &inWrite, &inherit, 0))
    {
        return fail();
    }
    m_hStdoutRead = DuplicateOwn(outRead, FALSE);
    m_hStdinWrite = DuplicateOwn(inWrite, FALSE);
    if (!m_hStdoutRead || !m_hStdinWrite)
    {
        return fail();
    }
    // The parent keeps only copies the child cannot inherit.
    CloseIfSet(outRead);
    CloseIfSet(inWrite);

    std::vector<wchar_t> writableCommand;
    try
    {
        writableCommand.assign(commandLine, commandLine + wcslen(commandLine) + 1);
    }
    catch (...)
    {
        return fail();
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, writableCommand.data(), nullptr, nullptr, TRUE,
                          CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &info))
    {
        return fail();
    }
    process = info.hProcess;
    ::CloseHandle(info.hThread);

    // Without these copies the pipe breaks once the child is gone.
    CloseIfSet(outWrite);
    CloseIfSet(errWrite);
    CloseIfSet(inRead);

    m_hChildProcess = process;
    DWORD threadId = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, ReaderThreadProc, this, CREATE_SUSPENDED, &threadId);
    if (!thread)
    {
        m_hChildProcess = nullptr;
        return fail();
    }
    m_dwThreadId = threadId;
    {
        m_csThread.Lock();
        m_hThread = thread;
        m_csThread.Unlock();
    }
    ::InterlockedIncrement(&m_cReadersRunning);
    // Started only once its handle and id are recorded, so a reader that
    // finishes at once finds them and does the teardown itself.
    ::ResumeThread(thread);
    return TRUE;
}

void CConsoleRedirector::Close() noexcept
{
    m_csThread.Lock();
    HANDLE thread = m_hThread;
    m_hThread = nullptr;
    m_csThread.Unlock();
    if (!thread)
    {
        // Another thread (the reader, ending on its own) may be in the middle
        // of the teardown: the next command's handles must not be created
        // before it is done. It waits for nothing, so this wait is short.
        while (m_hChildProcess != nullptr && ::GetCurrentThreadId() != m_dwThreadId)
        {
            ::Sleep(1);
        }
        return;
    }

    HANDLE process = m_hChildProcess;
    ::TerminateProcess(process, 0);
    if (::GetCurrentThreadId() != m_dwThreadId)
    {
        ::WaitForSingleObject(thread, INFINITE);
    }
    ::CloseHandle(thread);
    CloseIfSet(m_hStdinWrite);
    CloseIfSet(m_hStdoutRead);
    m_dwThreadId = 0;
    // Last: the report run takes a null process handle for "this command has
    // ended" and may open the next one at once, so nothing of this command
    // may be touched after it. The process handle goes only now, since until
    // the reader has ended it may be waiting on it.
    ::InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_hChildProcess), nullptr);
    if (g_pfnAfterCommandEnded != nullptr)
    {
        g_pfnAfterCommandEnded();
    }
    ::CloseHandle(process);
}

std::string CConsoleRedirector::TakeOutput()
{
    std::string taken;
    m_csOutput.Lock();
    m_fileOutput.SeekToBegin();
    const ULONGLONG cbBuffered = m_fileOutput.GetLength();
    try
    {
        taken.resize(static_cast<size_t>(cbBuffered));
    }
    catch (...)
    {
        m_csOutput.Unlock();
        throw;
    }
    if (cbBuffered)
    {
        m_fileOutput.Read(&taken[0], static_cast<UINT>(cbBuffered));
    }
    (void)m_fileOutput.SetLength(0);
    m_csOutput.Unlock();
    return taken;
}

BOOL CConsoleRedirector::ReadAvailableOutput() noexcept
{
    BYTE buffer[kReadChunkBytes];
    for (;;)
    {
        DWORD cbAvailable = 0;
        if (!::PeekNamedPipe(m_hStdoutRead, nullptr, 0, nullptr, &cbAvailable, nullptr))
        {
            return FALSE;
        }
        if (cbAvailable == 0)
        {
            return TRUE;
        }
        const DWORD cbWanted = cbAvailable < kReadChunkBytes ? cbAvailable : kReadChunkBytes;
        DWORD cbRead = 0;
        if (!::ReadFile(m_hStdoutRead, buffer, cbWanted, &cbRead, nullptr))
        {
            return FALSE;
        }
        try
        {
            OnChildOutput(buffer, cbRead);
        }
        catch (...)
        {
            // A chunk the subclass could not take is lost; the reader goes on.
        }
    }
}

DWORD WINAPI CConsoleRedirector::ReaderThreadProc(LPVOID parameter) noexcept
{
    auto* self = static_cast<CConsoleRedirector*>(parameter);
    BOOL ok = self->ReadAvailableOutput();
    while (ok)
    {
        if (::WaitForSingleObject(self->m_hChildProcess, self->m_dwWaitTime) != WAIT_TIMEOUT)
        {
            break;
        }
        ok = self->ReadAvailableOutput();
    }
    // What the child wrote just before it ended is still in the pipe.
    (void)self->ReadAvailableOutput();
    self->Close();
    try
    {
        self->OnChildTerminated();
    }
    catch (...)
    {
    }
    // Last touch of the object: after this the destructor may go on.
    ::InterlockedDecrement(&self->m_cReadersRunning);
    return 0;
}

bool CConsoleRedirector::StoreOutput(const BYTE* data, DWORD length) noexcept
{
    m_csOutput.Lock();
    m_fileOutput.SeekToEnd();
    const bool stored = m_fileOutput.Write(data, length);
    m_csOutput.Unlock();
    return stored;
}

void CConsoleRedirectorDiagnosis::OnChildOutput(const BYTE* data, DWORD length)
{
    if (StoreOutput(data, length))
    {
        ::PostMessageW(m_pDialog ? m_pDialog->GetSafeHwnd() : nullptr, WM_REDIRECTOR_NOTIFY, 0, 0);
    }
}

void CConsoleRedirectorDiagnosis::OnChildTerminated()
{
    ::PostMessageW(m_pDialog ? m_pDialog->GetSafeHwnd() : nullptr, WM_REDIRECTOR_NOTIFY, 1, 0);
}

namespace
{

class CCapturingRedirector : public CConsoleRedirector
{
protected:
    void OnChildOutput(const BYTE* data, DWORD length) override { (void)StoreOutput(data, length); }
};

} // namespace

std::string RunCommandForOutput(const wchar_t* commandLine, DWORD timeoutMs, bool* didFinish)
{
    *didFinish = false;
    CCapturingRedirector redirector;
    if (!redirector.Open(commandLine))
    {
        return std::string();
    }
    // The reader clears the child handle once the child has ended and its
    // output is drained.
    const DWORD started = ::GetTickCount();
    while (redirector.m_hChildProcess != nullptr && ::GetTickCount() - started < timeoutMs)
    {
        ::Sleep(20);
    }
    *didFinish = redirector.m_hChildProcess == nullptr;
    redirector.Close();
    return redirector.TakeOutput();
}
