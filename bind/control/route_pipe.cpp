#include "bind/control/route_pipe.h"

#include "common/win32_handle.h"

#include <cstring>

namespace
{

// Retries as long as each wait for a free instance succeeds: a server with
// all instances busy serves them one after the other, and each wait is
// bounded by kRoutePipeBusyWaitMs.
UniqueFile OpenRoutePipe() noexcept
{
    for (;;)
    {
        UniqueFile pipe(::CreateFileW(NORVEX_ROUTE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      0, nullptr));
        if (pipe || ::GetLastError() != ERROR_PIPE_BUSY)
        {
            return pipe;
        }
        if (!::WaitNamedPipeW(NORVEX_ROUTE_PIPE_NAME, kRoutePipeBusyWaitMs))
        {
            return UniqueFile();
        }
    }
}

} // namespace

bool SendRouteRequestToRouteServer(ULONG host) noexcept
{
    UniqueFile pipe = OpenRoutePipe();
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

    BYTE request[kRouteRequestBytes];
    request[0] = kRouteCommandPrepare;
    std::memcpy(request + 1, &host, sizeof(host));
    DWORD cbWritten = 0;
    if (!::WriteFile(pipe.Get(), request, sizeof(request), &cbWritten, nullptr))
    {
        return false;
    }

    BYTE reply = 0;
    DWORD cbRead = 0;
    if (!::ReadFile(pipe.Get(), &reply, sizeof(reply), &cbRead, nullptr) || cbRead != kRouteReplyBytes)
    {
        return false;
    }
    return reply != 0;
}
