// The provider's own versions of the eight socket procedures it puts into the
// table of an intercepted process. Each forwards to NextProcTable and returns
// the next layer's result unchanged; only a receive-from with a completion
// routine that cannot be tracked (recvfrom_tracking.h) is refused without
// being forwarded.
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
