#include "bind/control/route_pipe.h"

#include "common/win32_handle.h"

#include <cstring>

namespace
{

// Time left until deadline (a GetTickCount value), 0 once it has passed.
DWORD RemainingMs(DWORD deadline) noexcept
{
    const DWORD now = ::GetTickCount();
    const LONG left = static_cast<LONG>(deadline - now);
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// The pipe is opened for overlapped I/O, so that every wait has a time-out,
// and allows the server to identify the caller but not to act as it: any
// local process can create the pipe name first.
UniqueFile OpenRoutePipe(DWORD deadline) noexcept
{
    for (;;)
    {
        UniqueFile pipe(::CreateFileW(NORVEX_ROUTE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                      nullptr));
        if (pipe || ::GetLastError() != ERROR_PIPE_BUSY)
        {
            return pipe;
        }
        // WaitNamedPipe takes 0 for "the server's default": never pass it.
        const DWORD remaining = RemainingMs(deadline);
        if (remaining == 0)
        {
            return UniqueFile();
        }
        const DWORD waitMs = remaining < kRoutePipeBusyWaitMs ? remaining : kRoutePipeBusyWaitMs;
        if (!::WaitNamedPipeW(NORVEX_ROUTE_PIPE_NAME, waitMs))
        {
            return UniqueFile();
        }
    }
}

// One overlapped read or write and what it works on. The system writes into
// it until the operation has completed, so it lives on the heap and is freed
// only then; when a cancelled operation does not complete within its grace
// time, the block is left to the system rather than freed under it. There is
// one operation on the handle at a time, so the handle itself tells when it
// completes (an OVERLAPPED without an event), which spares an event per
// exchange.
struct PipeOperation
{
    OVERLAPPED overlapped;
    BYTE buffer[kRouteRequestBytes];
};

class PipeExchange
{
public:
    PipeExchange(HANDLE pipe, DWORD deadline) noexcept : m_pipe(pipe), m_deadline(deadline)
    {
        m_operation = static_cast<PipeOperation*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                              sizeof(PipeOperation)));
    }
    ~PipeExchange()
    {
        if (m_operation != nullptr && !m_isLeftToTheSystem)
        {
            ::HeapFree(::GetProcessHeap(), 0, m_operation);
        }
    }
    PipeExchange(const PipeExchange&) = delete;
    PipeExchange& operator=(const PipeExchange&) = delete;

    bool IsReady() const noexcept { return m_operation != nullptr; }

    // Writes cb bytes of data as one message. False on any failure or when
    // the deadline passes first.
    bool Write(const BYTE* data, DWORD cb) noexcept
    {
        std::memcpy(m_operation->buffer, data, cb);
        ::ZeroMemory(&m_operation->overlapped, sizeof(m_operation->overlapped));
        DWORD cbDone = 0;
        const BOOL didComplete = ::WriteFile(m_pipe, m_operation->buffer, cb, &cbDone, &m_operation->overlapped);
        return Finish(didComplete, &cbDone);
    }

    // Reads one message of at most cbMax bytes; a longer one fails (message
    // mode reports ERROR_MORE_DATA).
    bool Read(DWORD cbMax, DWORD* cbRead) noexcept
    {
        ::ZeroMemory(&m_operation->overlapped, sizeof(m_operation->overlapped));
        const BOOL didComplete = ::ReadFile(m_pipe, m_operation->buffer, cbMax, cbRead, &m_operation->overlapped);
        return Finish(didComplete, cbRead);
    }

    const BYTE* Data() const noexcept { return m_operation->buffer; }

private:
    bool Finish(BOOL didComplete, DWORD* cbTransferred) noexcept
    {
        if (!didComplete && ::GetLastError() != ERROR_IO_PENDING)
        {
            return false;
        }
        if (!didComplete && ::WaitForSingleObject(m_pipe, RemainingMs(m_deadline)) != WAIT_OBJECT_0)
        {
            // CancelIo (not CancelIoEx, which Windows 2000 and XP lack)
            // cancels what this thread issued on the handle.
            ::CancelIo(m_pipe);
            if (::WaitForSingleObject(m_pipe, kCancelGraceMs) != WAIT_OBJECT_0)
            {
                m_isLeftToTheSystem = true;
            }
            return false;
        }
        return ::GetOverlappedResult(m_pipe, &m_operation->overlapped, cbTransferred, FALSE) != FALSE;
    }

    static constexpr DWORD kCancelGraceMs = 1000;

    HANDLE m_pipe;
    DWORD m_deadline;
    PipeOperation* m_operation = nullptr;
    bool m_isLeftToTheSystem = false;
};

} // namespace

bool SendRouteRequestToRouteServer(ULONG host) noexcept
{
    const DWORD deadline = ::GetTickCount() + kRouteExchangeDeadlineMs;
    UniqueFile pipe = OpenRoutePipe(deadline);
    if (!pipe)
    {
        return false;
    }
    // In message mode a reply longer than one byte fails the read instead of
    // leaving its first byte to look like a valid answer.
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr))
    {
        return false;
    }

    PipeExchange exchange(pipe.Get(), deadline);
    if (!exchange.IsReady())
    {
        return false;
    }
    BYTE request[kRouteRequestBytes];
    request[0] = kRouteCommandPrepare;
    std::memcpy(request + 1, &host, sizeof(host));
    if (!exchange.Write(request, sizeof(request)))
    {
        return false;
    }
    DWORD cbRead = 0;
    if (!exchange.Read(kRouteReplyBytes, &cbRead) || cbRead != kRouteReplyBytes)
    {
        return false;
    }
    return exchange.Data()[0] != 0;
}
