#include "bind/core/socket_hooks.h"

#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/caller_memory.h"
#include "bind/core/extension_functions.h"
#include "bind/core/host_address.h"
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

// Each call decides from one reading of the binding.
bool IsIntercepting(const BindingState& binding) noexcept
{
    return binding.IsProcessAfterStart(ProcessCreateTime);
}

// A dual-stack socket bound to a mapped address takes IPv4 only: that is
// right for a stream that connects to an IPv4 host, never for a datagram
// socket, which may send to IPv6 hosts later. Asked of the next layer
// directly: its entry is not ours.
bool IsStreamSocket(SOCKET s) noexcept
{
    int type = 0;
    int cbType = sizeof(type);
    int error = 0;
    LPWSPGETSOCKOPT getOption = NextProcTable.lpWSPGetSockOpt;
    return getOption != nullptr
           && getOption(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &cbType, &error) == 0
           && type == SOCK_STREAM;
}

// An unbound socket is bound to the VPN address, port 0, before it connects
// or sends: as an IPv4 address, or mapped for a dual-stack socket. Through
// the public bind on purpose: Winsock brings it back into our WSPBind,
// where the bind rule sees it like any application bind.
void ForceBindToVpnAddress(SOCKET s, ULONG vpnAddress, bool isMapped) noexcept
{
    if (ForceWSPBind == 0 || (isMapped && !IsStreamSocket(s)))
    {
        return;
    }
    const WinsockCalls& winsock = GetWinsockCalls();
    sockaddr_storage local{};
    int cbLocal = sizeof(local);
    if (winsock.GetSockName(s, reinterpret_cast<sockaddr*>(&local), &cbLocal) != SOCKET_ERROR)
    {
        return; // already bound
    }
    sockaddr_in vpn{};
    vpn.sin_family = AF_INET;
    vpn.sin_port = 0;
    vpn.sin_addr.s_addr = vpnAddress;
    const sockaddr_in6 mappedVpn = MappedAddress(vpnAddress);
    // A failure is ours: the next layer binds the socket its own way.
    if (isMapped)
    {
        (void)winsock.Bind(s, reinterpret_cast<const sockaddr*>(&mappedVpn), sizeof(mappedVpn));
    }
    else
    {
        (void)winsock.Bind(s, reinterpret_cast<const sockaddr*>(&vpn), sizeof(vpn));
    }
}

// The buffers were recorded when the receive was issued and may be gone by
// now (the application took the completion another way and freed them), so
// they are read with a guard; what cannot be read is skipped.
void PrepareRouteForRecordedSource(const PendingRecvFrom& entry) noexcept
{
    int cbFrom = 0;
    if (entry.lpFrom == nullptr || !ReadCallerMemory(&cbFrom, entry.lpFromlen, sizeof(cbFrom)))
    {
        return;
    }
    // A whole IPv4 source, or a mapped one of a dual-stack socket.
    sockaddr_storage source{};
    const bool isIpv4Length = cbFrom == static_cast<int>(sizeof(sockaddr_in));
    if ((!isIpv4Length && cbFrom < kIpv6AddressField) || cbFrom > static_cast<int>(sizeof(sockaddr_in6))
        || !ReadCallerMemory(&source, entry.lpFrom, cbFrom))
    {
        return;
    }
    ULONG host = 0;
    bool isMapped = false;
    if (GetIpv4Host(reinterpret_cast<const sockaddr*>(&source), cbFrom, kWholeIpv4Address, &host, &isMapped))
    {
        (void)PrepareRouteForHostNetwork(host);
    }
}

} // namespace

bool IsInterceptingNow() noexcept
{
    return IsIntercepting(CurrentBinding());
}

namespace
{

// The route (and, when asked, the forced bind) before traffic goes to the
// IPv4 host behind address; connects leave 127.0.0.1 alone.
void PrepareTrafficToHost(SOCKET s, const sockaddr* address, int cbAddress, bool isConnect, bool mayBindFirst) noexcept
{
    ULONG host = 0;
    bool isMapped = false;
    if (!GetIpv4Host(address, cbAddress, kWholeIpv4Address, &host, &isMapped) || (isConnect && host == kLoopbackHost))
    {
        return;
    }
    const BindingState binding = CurrentBinding();
    if (!IsIntercepting(binding))
    {
        return;
    }
    KeepLastError keep;
    if (mayBindFirst)
    {
        ForceBindToVpnAddress(s, binding.VpnIP, isMapped);
    }
    (void)PrepareRouteForHostNetwork(host);
}

} // namespace

void PrepareConnectToHost(SOCKET s, const sockaddr* name, int namelen, bool mayBindFirst) noexcept
{
    PrepareTrafficToHost(s, name, namelen, true, mayBindFirst);
}

void PrepareSendToHost(SOCKET s, const sockaddr* to, int tolen) noexcept
{
    PrepareTrafficToHost(s, to, tolen, false, true);
}

int WSPAPI WSPBind(SOCKET s, const sockaddr* name, int namelen, LPINT lpErrno)
{
    // The rule reads the IPv4 address itself, or the one inside a mapped
    // IPv6 address (a dual-stack socket's ::ffff:0.0.0.0, say); in6addr_any
    // and native IPv6 addresses pass as they come.
    ULONG requested = 0;
    bool isMapped = false;
    const BindingState binding = CurrentBinding();
    if (!binding.IsStarted() || ForceWSPBind == 0
        || !GetIpv4Host(name, namelen, kWholeIpv4Address, &requested, &isMapped))
    {
        return NextProcTable.lpWSPBind(s, name, namelen, lpErrno);
    }
    // The next layer gets the caller's whole address (a sockaddr_storage,
    // say), as far as the caller's length goes and the largest address
    // reaches; only the IPv4 host changes. Past the part read above the
    // caller's buffer is read with a guard: if it is shorter than it claims,
    // the call goes down as it came and the next layer answers it.
    const int cbHead = isMapped ? kIpv6AddressField : kWholeIpv4Address;
    sockaddr_storage rewritten;
    const int cbRewritten = namelen < static_cast<int>(sizeof(rewritten)) ? namelen
                                                                          : static_cast<int>(sizeof(rewritten));
    std::memcpy(&rewritten, name, cbHead);
    if (cbRewritten > cbHead)
    {
        bool isTailRead = false;
        {
            KeepLastError keep;
            isTailRead = ReadCallerMemory(reinterpret_cast<BYTE*>(&rewritten) + cbHead,
                                          reinterpret_cast<const BYTE*>(name) + cbHead, cbRewritten - cbHead);
        }
        if (!isTailRead)
        {
            return NextProcTable.lpWSPBind(s, name, namelen, lpErrno);
        }
    }
    const size_t hostOffset = isMapped ? kMappedHostOffset : offsetof(sockaddr_in, sin_addr);
    ULONG host = requested;
    if (IsIntercepting(binding))
    {
        host = requested == INADDR_ANY ? binding.VpnIP : requested;
    }
    else if (requested == binding.VpnIP)
    {
        // A process older than the current binding may not use its address.
        host = INADDR_ANY;
    }
    std::memcpy(reinterpret_cast<BYTE*>(&rewritten) + hostOffset, &host, sizeof(host));
    return NextProcTable.lpWSPBind(s, reinterpret_cast<const sockaddr*>(&rewritten), cbRewritten, lpErrno);
}

int WSPAPI WSPConnect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData, LPWSABUF lpCalleeData,
                      LPQOS lpSQOS, LPQOS lpGQOS, LPINT lpErrno)
{
    PrepareConnectToHost(s, name, namelen, true);
    return NextProcTable.lpWSPConnect(s, name, namelen, lpCallerData, lpCalleeData, lpSQOS, lpGQOS, lpErrno);
}

int WSPAPI WSPSendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                     const sockaddr* lpTo, int iTolen, LPWSAOVERLAPPED lpOverlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    PrepareSendToHost(s, lpTo, iTolen);
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
    ForgetExtensionFunctions(s);
    if (UseAsyncMode != 0 && IsInterceptingNow() && PendingRecvFromLock.IsInitialized())
    {
        auto guard = PendingRecvFromLock.Lock();
        PendingRecvFromTable.Remove(s);
    }
    return NextProcTable.lpWSPCloseSocket(s, lpErrno);
}
