#include "bind/core/socket_hooks.h"

#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/provider_tables.h"
#include "bind/core/recvfrom_tracking.h"
#include "bind/core/route_cache.h"
#include "bind/core/winsock_calls.h"

// Each procedure does the provider's own steps, then forwards the caller's
// call; nothing the provider does changes the result the caller sees, except
// that a receive-from with a completion routine is refused when its
// overlapped structure cannot be read or the provider cannot track it.

namespace
{

// 127.0.0.1 as it lies in sin_addr.
constexpr ULONG kLoopbackHost = 0x0100007F;

// The IPv4 address behind a caller's pointer, or null when it is none. The
// whole sockaddr_in is read only when the caller's length covers it.
const sockaddr_in* AsIpv4(const sockaddr* name, int namelen) noexcept
{
    if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in)))
    {
        return nullptr;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(name);
    return address->sin_family == AF_INET ? address : nullptr;
}

ULONG VpnAddress() noexcept
{
    const VpnBindGlobalControlBlock* block = ControlBlock;
    return block != nullptr ? block->StartupParmas.VpnIP : 0;
}

bool IsInterceptingNow() noexcept
{
    return IsVpnBindStarted() && IsProcessAfterVpnBindStart();
}

// An unbound socket is bound to the VPN address, port 0, before it connects
// or sends. Through the public bind on purpose: Winsock brings it back into
// our WSPBind, where the bind rule sees it like any application bind.
void ForceBindToVpnAddress(SOCKET s) noexcept
{
    if (ForceWSPBind == 0)
    {
        return;
    }
    const WinsockCalls& winsock = GetWinsockCalls();
    sockaddr_in local{};
    int cbLocal = sizeof(local);
    if (winsock.GetSockName(s, reinterpret_cast<sockaddr*>(&local), &cbLocal) != SOCKET_ERROR)
    {
        return; // already bound
    }
    sockaddr_in vpn{};
    vpn.sin_family = AF_INET;
    vpn.sin_port = 0;
    vpn.sin_addr.s_addr = VpnAddress();
    // A failure is ours: the next layer binds the socket its own way.
    (void)winsock.Bind(s, reinterpret_cast<const sockaddr*>(&vpn), sizeof(vpn));
}

// The buffers were recorded when the receive was issued and may be gone by
// now (the application took the completion another way and freed them), so
// they are read with a guard; what cannot be read is skipped.
void PrepareRouteForRecordedSource(const PendingRecvFrom& entry) noexcept
{
    int cbFrom = 0;
    if (entry.lpFrom == nullptr || !ReadCallerMemory(&cbFrom, entry.lpFromlen, sizeof(cbFrom))
        || cbFrom != static_cast<int>(sizeof(sockaddr_in)))
    {
        return;
    }
    sockaddr_in source{};
    if (!ReadCallerMemory(&source, entry.lpFrom, sizeof(source)) || source.sin_family != AF_INET)
    {
        return;
    }
    (void)PrepareRouteForHostNetwork(source.sin_addr.s_addr);
}

} // namespace

int WSPAPI WSPBind(SOCKET s, const sockaddr* name, int namelen, LPINT lpErrno)
{
    const sockaddr_in* requested = AsIpv4(name, namelen);
    if (!IsVpnBindStarted() || requested == nullptr || ForceWSPBind == 0)
    {
        return NextProcTable.lpWSPBind(s, name, namelen, lpErrno);
    }
    sockaddr_in rewritten = *requested;
    const ULONG vpnAddress = VpnAddress();
    if (IsProcessAfterVpnBindStart())
    {
        if (requested->sin_addr.s_addr == INADDR_ANY)
        {
            rewritten.sin_addr.s_addr = vpnAddress;
        }
    }
    else if (requested->sin_addr.s_addr == vpnAddress)
    {
        // A process older than the current binding may not use its address.
        rewritten.sin_addr.s_addr = INADDR_ANY;
    }
    return NextProcTable.lpWSPBind(s, reinterpret_cast<const sockaddr*>(&rewritten), namelen, lpErrno);
}

int WSPAPI WSPConnect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData, LPWSABUF lpCalleeData,
                      LPQOS lpSQOS, LPQOS lpGQOS, LPINT lpErrno)
{
    const sockaddr_in* destination = AsIpv4(name, namelen);
    if (destination != nullptr && destination->sin_addr.s_addr != kLoopbackHost && IsInterceptingNow())
    {
        ForceBindToVpnAddress(s);
        (void)PrepareRouteForHostNetwork(destination->sin_addr.s_addr);
    }
    return NextProcTable.lpWSPConnect(s, name, namelen, lpCallerData, lpCalleeData, lpSQOS, lpGQOS, lpErrno);
}

int WSPAPI WSPSendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                     const sockaddr* lpTo, int iTolen, LPWSAOVERLAPPED lpOverlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    const sockaddr_in* destination = AsIpv4(lpTo, iTolen);
    if (destination != nullptr && IsInterceptingNow())
    {
        ForceBindToVpnAddress(s);
        (void)PrepareRouteForHostNetwork(destination->sin_addr.s_addr);
    }
    return NextProcTable.lpWSPSendTo(s, lpBuffers, dwBufferCount, lpNumberOfBytesSent, dwFlags, lpTo, iTolen,
                                     lpOverlapped, lpCompletionRoutine, lpThreadId, lpErrno);
}

int WSPAPI WSPRecvFrom(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd,
                       LPDWORD lpFlags, sockaddr* lpFrom, LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                       LPINT lpErrno)
{
    LPWSPRECVFROM next = NextProcTable.lpWSPRecvFrom;
    if (!IsInterceptingNow())
    {
        return next(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom, lpFromlen, lpOverlapped,
                    lpCompletionRoutine, lpThreadId, lpErrno);
    }

    if (UseAsyncMode == 0 || (lpOverlapped == nullptr && lpCompletionRoutine == nullptr))
    {
        const int result = next(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom, lpFromlen,
                                lpOverlapped, lpCompletionRoutine, lpThreadId, lpErrno);
        if (result == 0)
        {
            PrepareRouteForSource(lpFrom, lpFromlen);
        }
        return result;
    }

    if (lpCompletionRoutine == nullptr)
    {
        // Completed by event or result query: remember where the source
        // address will land; WSPGetOverlappedResult picks it up.
        if (PendingRecvFromLock.IsInitialized())
        {
            auto guard = PendingRecvFromLock.Lock();
            (void)PendingRecvFromTable.Set({s, lpFrom, lpFromlen});
        }
        return next(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom, lpFromlen, lpOverlapped,
                    lpCompletionRoutine, lpThreadId, lpErrno);
    }

    RecvFromContext* context = CreateRecvFromContext(s, lpOverlapped, lpCompletionRoutine, lpThreadId, lpErrno);
    if (context == nullptr)
    {
        return SOCKET_ERROR;
    }
    context->lpFrom = lpFrom;
    context->lpFromlen = lpFromlen;
    // A thread we opened goes down too: without it the next layer would
    // have no thread to queue the completion to.
    LPWSATHREADID threadId = lpThreadId != nullptr ? lpThreadId : &context->ThreadId;
    const int result = next(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom, lpFromlen,
                            &context->Overlapped, IntermediateCompletionRoutine, threadId, lpErrno);
    if (result == 0)
    {
        // The completion is queued all the same and may free the record at
        // the caller's next alertable wait: only the caller's buffer is read.
        PrepareRouteForSource(lpFrom, lpFromlen);
    }
    else if (result == SOCKET_ERROR && *lpErrno != WSA_IO_PENDING)
    {
        // Refused at once: no completion follows, so the record is ours.
        ReleaseRecvFromContext(context);
    }
    return result;
}

int WSPAPI WSPSend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                   LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                   LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    if (IsInterceptingNow())
    {
        (void)PrepareRouteByPeerName(s);
    }
    return NextProcTable.lpWSPSend(s, lpBuffers, dwBufferCount, lpNumberOfBytesSent, dwFlags, lpOverlapped,
                                   lpCompletionRoutine, lpThreadId, lpErrno);
}

int WSPAPI WSPRecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
                   LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                   LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    if (IsInterceptingNow())
    {
        (void)PrepareRouteByPeerName(s);
    }
    return NextProcTable.lpWSPRecv(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpOverlapped,
                                   lpCompletionRoutine, lpThreadId, lpErrno);
}

BOOL WSPAPI WSPGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer, BOOL fWait,
                                   LPDWORD lpdwFlags, LPINT lpErrno)
{
    const BOOL result = NextProcTable.lpWSPGetOverlappedResult(s, lpOverlapped, lpcbTransfer, fWait, lpdwFlags,
                                                               lpErrno);
    if (!result || UseAsyncMode == 0 || !IsInterceptingNow() || !PendingRecvFromLock.IsInitialized())
    {
        return result;
    }
    // Held across the route step, so a close or a new receive-from on any
    // socket waits for it; nothing takes this lock under RouteCacheLock.
    auto guard = PendingRecvFromLock.Lock();
    PendingRecvFrom entry{};
    if (PendingRecvFromTable.Take(s, &entry))
    {
        PrepareRouteForRecordedSource(entry);
    }
    return result;
}

int WSPAPI WSPCloseSocket(SOCKET s, LPINT lpErrno)
{
    if (UseAsyncMode != 0 && IsInterceptingNow() && PendingRecvFromLock.IsInitialized())
    {
        auto guard = PendingRecvFromLock.Lock();
        PendingRecvFromTable.Remove(s);
    }
    return NextProcTable.lpWSPCloseSocket(s, lpErrno);
}
