#include "bind/core/socket_hooks.h"

#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/caller_memory.h"
#include "bind/core/last_error.h"
#include "bind/core/provider_tables.h"
#include "bind/core/recvfrom_tracking.h"
#include "bind/core/route_cache.h"
#include "bind/core/winsock_calls.h"

#include <cstring>

// Each procedure does the provider's own steps, then forwards the caller's
// call; nothing the provider does changes the result the caller sees, except
// that a receive-from with a completion routine is refused when its
// overlapped structure cannot be read or the provider cannot track it. The
// own steps run inside KeepLastError scopes: the thread's last error is what
// the application left before the call and what the next layer left after.

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

// Each call decides from one reading of the binding.
bool IsIntercepting(const BindingState& binding) noexcept
{
    return binding.IsProcessAfterStart(ProcessCreateTime);
}

bool IsInterceptingNow() noexcept
{
    return IsIntercepting(CurrentBinding());
}

// An unbound socket is bound to the VPN address, port 0, before it connects
// or sends. Through the public bind on purpose: Winsock brings it back into
// our WSPBind, where the bind rule sees it like any application bind.
void ForceBindToVpnAddress(SOCKET s, ULONG vpnAddress) noexcept
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
    vpn.sin_addr.s_addr = vpnAddress;
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
    const BindingState binding = CurrentBinding();
    if (!binding.IsStarted() || requested == nullptr || ForceWSPBind == 0)
    {
        return NextProcTable.lpWSPBind(s, name, namelen, lpErrno);
    }
    // The next layer gets the caller's whole address (a sockaddr_storage,
    // say), as far as the caller's length goes and the largest address
    // reaches; only sin_addr changes. Past the sockaddr_in the caller's
    // buffer is read with a guard: if it is shorter than it claims, the
    // call goes down as it came and the next layer answers it.
    sockaddr_storage rewritten;
    const int cbRewritten = namelen < static_cast<int>(sizeof(rewritten)) ? namelen
                                                                          : static_cast<int>(sizeof(rewritten));
    std::memcpy(&rewritten, requested, sizeof(sockaddr_in));
    if (cbRewritten > static_cast<int>(sizeof(sockaddr_in)))
    {
        bool isTailRead = false;
        {
            KeepLastError keep;
            isTailRead = ReadCallerMemory(reinterpret_cast<BYTE*>(&rewritten) + sizeof(sockaddr_in),
                                          reinterpret_cast<const BYTE*>(name) + sizeof(sockaddr_in),
                                          cbRewritten - sizeof(sockaddr_in));
        }
        if (!isTailRead)
        {
            return NextProcTable.lpWSPBind(s, name, namelen, lpErrno);
        }
    }
    auto* address = reinterpret_cast<sockaddr_in*>(&rewritten);
    const ULONG vpnAddress = binding.VpnIP;
    if (IsIntercepting(binding))
    {
        if (requested->sin_addr.s_addr == INADDR_ANY)
        {
            address->sin_addr.s_addr = vpnAddress;
        }
    }
    else if (requested->sin_addr.s_addr == vpnAddress)
    {
        // A process older than the current binding may not use its address.
        address->sin_addr.s_addr = INADDR_ANY;
    }
    return NextProcTable.lpWSPBind(s, reinterpret_cast<const sockaddr*>(&rewritten), cbRewritten, lpErrno);
}

int WSPAPI WSPConnect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData, LPWSABUF lpCalleeData,
                      LPQOS lpSQOS, LPQOS lpGQOS, LPINT lpErrno)
{
    const sockaddr_in* destination = AsIpv4(name, namelen);
    const BindingState binding = CurrentBinding();
    if (destination != nullptr && destination->sin_addr.s_addr != kLoopbackHost && IsIntercepting(binding))
    {
        KeepLastError keep;
        ForceBindToVpnAddress(s, binding.VpnIP);
        (void)PrepareRouteForHostNetwork(destination->sin_addr.s_addr);
    }
    return NextProcTable.lpWSPConnect(s, name, namelen, lpCallerData, lpCalleeData, lpSQOS, lpGQOS, lpErrno);
}

int WSPAPI WSPSendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                     const sockaddr* lpTo, int iTolen, LPWSAOVERLAPPED lpOverlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    const sockaddr_in* destination = AsIpv4(lpTo, iTolen);
    const BindingState binding = CurrentBinding();
    if (destination != nullptr && IsIntercepting(binding))
    {
        KeepLastError keep;
        ForceBindToVpnAddress(s, binding.VpnIP);
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

    // Without an overlapped structure a receive is a plain blocking one,
    // whatever routine comes with it: Winsock ignores the routine then.
    if (UseAsyncMode == 0 || lpOverlapped == nullptr)
    {
        const int result = next(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom, lpFromlen,
                                lpOverlapped, lpCompletionRoutine, lpThreadId, lpErrno);
        if (result == 0)
        {
            KeepLastError keep;
            PrepareRouteForSource(lpFrom, lpFromlen);
        }
        return result;
    }

    if (lpCompletionRoutine == nullptr)
    {
        // Completed by event or result query: remember where the source
        // address will land; WSPGetOverlappedResult for the same structure
        // picks it up.
        if (PendingRecvFromLock.IsInitialized())
        {
            auto guard = PendingRecvFromLock.Lock();
            (void)PendingRecvFromTable.Set({s, lpOverlapped, lpFrom, lpFromlen});
        }
        return next(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom, lpFromlen, lpOverlapped,
                    lpCompletionRoutine, lpThreadId, lpErrno);
    }

    // The next layer is called outside the KeepLastError scopes: what it
    // leaves in the thread's last error is the application's to see.
    RecvFromContext* context = nullptr;
    bool isPinned = false;
    {
        KeepLastError keep;
        isPinned = PinProviderModule();
        if (isPinned)
        {
            context = CreateRecvFromContext(s, lpOverlapped, lpCompletionRoutine, lpThreadId, lpErrno);
        }
    }
    if (!isPinned)
    {
        return next(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpFrom, lpFromlen, lpOverlapped,
                    lpCompletionRoutine, lpThreadId, lpErrno);
    }
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
    KeepLastError keep;
    const bool isQueued = result == 0 || (result == SOCKET_ERROR && IsCompletionStillQueued(*lpErrno));
    if (!isQueued)
    {
        // Refused at once, and no completion follows: the record is ours.
        ReleaseRecvFromContext(context);
        return result;
    }
    // The completion runs in this thread at its next alertable wait, which
    // none of this reaches: the record is still ours to write.
    ShowRequestStateToCaller(*context, result, *lpErrno);
    if (result == 0)
    {
        context->IsSourceRouted = TRUE;
        PrepareRouteForSource(lpFrom, lpFromlen);
    }
    return result;
}

int WSPAPI WSPSend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                   LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                   LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    if (IsInterceptingNow())
    {
        KeepLastError keep;
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
        KeepLastError keep;
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
    // The entry is taken out under the lock and routed after it: a route
    // exchange must not hold up other threads' receive-froms and closes.
    PendingRecvFrom entry{};
    bool hasEntry = false;
    {
        auto guard = PendingRecvFromLock.Lock();
        hasEntry = PendingRecvFromTable.Take(s, lpOverlapped, &entry);
    }
    if (hasEntry)
    {
        KeepLastError keep;
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
