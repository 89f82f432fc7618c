// The provider's own versions of the socket procedures it puts into the
// table of an intercepted process (WSPIoctl is in extension_functions.h).
// Each forwards to NextProcTable and returns the next layer's result
// unchanged; only a receive-from with a completion routine that cannot be
// tracked (recvfrom_tracking.h) is refused without being forwarded.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

int WSPAPI WSPBind(SOCKET s, const sockaddr* name, int namelen, LPINT lpErrno);
int WSPAPI WSPConnect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF lpCallerData, LPWSABUF lpCalleeData,
                      LPQOS lpSQOS, LPQOS lpGQOS, LPINT lpErrno);
int WSPAPI WSPSendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                     const sockaddr* lpTo, int iTolen, LPWSAOVERLAPPED lpOverlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId, LPINT lpErrno);
int WSPAPI WSPRecvFrom(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd,
                       LPDWORD lpFlags, sockaddr* lpFrom, LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                       LPINT lpErrno);
int WSPAPI WSPSend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent, DWORD dwFlags,
                   LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                   LPWSATHREADID lpThreadId, LPINT lpErrno);
int WSPAPI WSPRecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags,
                   LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                   LPWSATHREADID lpThreadId, LPINT lpErrno);
BOOL WSPAPI WSPGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer, BOOL fWait,
                                   LPDWORD lpdwFlags, LPINT lpErrno);
int WSPAPI WSPCloseSocket(SOCKET s, LPINT lpErrno);

// The steps before traffic goes to a host, shared by the classic procedures
// and the extension functions, for an IPv4 destination or an IPv4-mapped one
// of a dual-stack socket (host_address.h); they do nothing for any other
// address, and nothing unless this process is intercepted now. Each keeps
// the thread's last error.
//
// This process is intercepted now: listed, created after the current start.
bool IsInterceptingNow() noexcept;

// Before a connect: the forced bind of an unbound socket (when
// mayBindFirst: ConnectEx's socket is bound already; a dual-stack socket
// only when it is a stream) and the route; nothing for 127.0.0.1.
void PrepareConnectToHost(SOCKET s, const sockaddr* name, int namelen, bool mayBindFirst) noexcept;
// Before a datagram goes out: the forced bind (never for a dual-stack
// socket: bound to a mapped address it could send to IPv6 hosts no more)
// and the route.
void PrepareSendToHost(SOCKET s, const sockaddr* to, int tolen) noexcept;
