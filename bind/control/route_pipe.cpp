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
// local process can create the pipe name first. An open that fails tells
// in *failure whether no instance became free in time.
UniqueFile OpenRoutePipe(DWORD deadline, RouteAnswer* failure) noexcept
{
    *failure = RouteAnswer::Refused;
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
            *failure = RouteAnswer::Unanswered;
            return UniqueFile();
        }
        const DWORD waitMs = remaining < kRoutePipeBusyWaitMs ? remaining : kRoutePipeBusyWaitMs;
        if (!::WaitNamedPipeW(NORVEX_ROUTE_PIPE_NAME, waitMs))
        {
            // A time-out says the instances stay busy; another error, that
            // the server went away.
            *failure = ::GetLastError() == ERROR_SEM_TIMEOUT ? RouteAnswer::Unanswered : RouteAnswer::Refused;
            return UniqueFile();
        }
    }
}

enum class IoOutcome
{
    Done,
    Failed,
    TimedOut,
};

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
    // The reads and writes end by ioDeadline; the cancel of one that did not
    // gets until deadline.
    PipeExchange(HANDLE pipe, DWORD ioDeadline, DWORD deadline) noexcept
        : m_pipe(pipe), m_ioDeadline(ioDeadline), m_deadline(deadline)
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

    // Writes cb bytes of data as one message.
    IoOutcome Write(const BYTE* data, DWORD cb) noexcept
    {
        std::memcpy(m_operation->buffer, data, cb);
        ::ZeroMemory(&m_operation->overlapped, sizeof(m_operation->overlapped));
        DWORD cbDone = 0;
        const BOOL didComplete = ::WriteFile(m_pipe, m_operation->buffer, cb, &cbDone, &m_operation->overlapped);
        return Finish(didComplete, &cbDone);
    }

    // Reads one message of at most cbMax bytes; a longer one fails (message
    // mode reports ERROR_MORE_DATA).
    IoOutcome Read(DWORD cbMax, DWORD* cbRead) noexcept
    {
        ::ZeroMemory(&m_operation->overlapped, sizeof(m_operation->overlapped));
        const BOOL didComplete = ::ReadFile(m_pipe, m_operation->buffer, cbMax, cbRead, &m_operation->overlapped);
        return Finish(didComplete, cbRead);
    }

    const BYTE* Data() const noexcept { return m_operation->buffer; }

private:
    IoOutcome Finish(BOOL didComplete, DWORD* cbTransferred) noexcept
    {
        if (!didComplete && ::GetLastError() != ERROR_IO_PENDING)
        {
            return IoOutcome::Failed;
        }
        if (!didComplete && ::WaitForSingleObject(m_pipe, RemainingMs(m_ioDeadline)) != WAIT_OBJECT_0)
        {
            // CancelIo (not CancelIoEx, which Windows 2000 and XP lack)
            // cancels what this thread issued on the handle.
            ::CancelIo(m_pipe);
            if (::WaitForSingleObject(m_pipe, RemainingMs(m_deadline)) != WAIT_OBJECT_0)
            {
                m_isLeftToTheSystem = true;
            }
            return IoOutcome::TimedOut;
        }
        return ::GetOverlappedResult(m_pipe, &m_operation->overlapped, cbTransferred, FALSE) != FALSE
                   ? IoOutcome::Done
                   : IoOutcome::Failed;
    }

    HANDLE m_pipe;
    DWORD m_ioDeadline;
    DWORD m_deadline;
    PipeOperation* m_operation = nullptr;
    bool m_isLeftToTheSystem = false;
};

RouteAnswer AnswerOf(IoOutcome outcome) noexcept
{
    return outcome == IoOutcome::TimedOut ? RouteAnswer::Unanswered : RouteAnswer::Refused;
}

} // namespace

RouteAnswer SendRouteRequestToRouteServer(ULONG host) noexcept
{
    const DWORD deadline = ::GetTickCount() + kRouteExchangeDeadlineMs;
    const DWORD ioDeadline = deadline - kRouteCancelGraceMs;
    RouteAnswer failure = RouteAnswer::Refused;
    UniqueFile pipe = OpenRoutePipe(ioDeadline, &failure);
    if (!pipe)
    {
        return failure;
    }
    // In message mode a reply longer than one byte fails the read instead of
    // leaving its first byte to look like a valid answer.
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr))
    {
        return RouteAnswer::Refused;
    }

    PipeExchange exchange(pipe.Get(), ioDeadline, deadline);
    if (!exchange.IsReady())
    {
        return RouteAnswer::Refused;
    }
    BYTE request[kRouteRequestBytes];
    request[0] = kRouteCommandPrepare;
    std::memcpy(request + 1, &host, sizeof(host));
    const IoOutcome written = exchange.Write(request, sizeof(request));
    if (written != IoOutcome::Done)
    {
        return AnswerOf(written);
    }
    DWORD cbRead = 0;
    const IoOutcome read = exchange.Read(kRouteReplyBytes, &cbRead);
    if (read != IoOutcome::Done)
    {
        return AnswerOf(read);
    }
    return cbRead == kRouteReplyBytes && exchange.Data()[0] != 0 ? RouteAnswer::Prepared : RouteAnswer::Refused;
}
