// The extension functions through which programs built on completion ports
// (.NET, libuv, Boost.Asio and the like) reach hosts: ConnectEx, WSASendMsg
// and WSARecvMsg. They get them from WSAIoctl(SIO_GET_EXTENSION_FUNCTION_POINTER),
// which in an intercepting process reaches our WSPIoctl: it asks the next
// layer first and, where that hands out one of the three, hands out the
// provider's own function instead. That function applies the steps of its
// classic twin (socket_hooks.h) and calls the next layer's function with the
// caller's arguments, returning its result and error unchanged. Every other
// ioctl and extension function is the next layer's, untouched.
//
// The next layer's functions are remembered per socket, as the lookup on that
// socket returned them (sockets of several chains may get different ones);
// a program that calls a function on a socket it never looked it up on gets
// the one its latest lookup returned, as it would without the provider.
// Guarded by ExtensionFunctionLock (bind/control/provider_state.h); without
// that lock nothing is handed out but the next layer's functions.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

// The system's signatures (mswsock.h has the last two only for Vista and up).
using ConnectExFn = BOOL(PASCAL*)(SOCKET s, const sockaddr* name, int namelen, PVOID lpSendBuffer,
                                  DWORD dwSendDataLength, LPDWORD lpdwBytesSent, LPOVERLAPPED lpOverlapped);
using WSASendMsgFn = INT(WSAAPI*)(SOCKET s, LPWSAMSG lpMsg, DWORD dwFlags, LPDWORD lpNumberOfBytesSent,
                                  LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
using WSARecvMsgFn = INT(WSAAPI*)(SOCKET s, LPWSAMSG lpMsg, LPDWORD lpdwNumberOfBytesRecvd,
                                  LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);

int WSPAPI WSPIoctl(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer, LPVOID lpvOutBuffer,
                    DWORD cbOutBuffer, LPDWORD lpcbBytesReturned, LPWSAOVERLAPPED lpOverlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                    LPINT lpErrno) noexcept;

// What the provider hands out.
BOOL PASCAL ConnectExThroughProvider(SOCKET s, const sockaddr* name, int namelen, PVOID lpSendBuffer,
                                     DWORD dwSendDataLength, LPDWORD lpdwBytesSent, LPOVERLAPPED lpOverlapped) noexcept;
// With a name, the steps of a send-to; without (a connected socket), none.
INT WSAAPI WSASendMsgThroughProvider(SOCKET s, LPWSAMSG lpMsg, DWORD dwFlags, LPDWORD lpNumberOfBytesSent,
                                     LPWSAOVERLAPPED lpOverlapped,
                                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) noexcept;
// The route step for the received source wherever the provider sees the
// completion without changing what the program gets back: a receive that
// completed within the call; with UseAsyncMode, one completed by the
// program's result query (WSPGetOverlappedResult) or its completion routine,
// which the provider's routine calls with the program's own overlapped
// structure. A completion that a completion port delivers is never seen;
// the reply's send asks for the route anyway.
INT WSAAPI WSARecvMsgThroughProvider(SOCKET s, LPWSAMSG lpMsg, LPDWORD lpdwNumberOfBytesRecvd,
                                     LPWSAOVERLAPPED lpOverlapped,
                                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) noexcept;

// At the socket's close: its remembered functions go.
void ForgetExtensionFunctions(SOCKET s) noexcept;
// At the library's unload (FreeLibrary): every table is emptied.
void ReleaseExtensionFunctionTables() noexcept;
