// A next layer that is the system's own Winsock: each entry the provider
// forwards to becomes the public call of the same name on the real socket.
// Wine's Winsock never loads layered providers, so this is how a test runs
// the provider's table over real sockets, extension functions included.
#include <winsock2.h>
#include <ws2spi.h>

namespace
{

int Done(int result, LPINT lpErrno)
{
    if (result == SOCKET_ERROR)
    {
        *lpErrno = ::WSAGetLastError();
    }
    return result;
}

int WSPAPI Bind(SOCKET s, const sockaddr* name, int namelen, LPINT lpErrno)
{
    return Done(::bind(s, name, namelen), lpErrno);
}

int WSPAPI Connect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF caller, LPWSABUF callee, LPQOS sqos,
                   LPQOS gqos, LPINT lpErrno)
{
    return Done(::WSAConnect(s, name, namelen, caller, callee, sqos, gqos), lpErrno);
}

int WSPAPI SendTo(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, const sockaddr* to, int tolen,
                  LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, LPWSATHREADID, LPINT lpErrno)
{
    return Done(::WSASendTo(s, buffers, count, sent, flags, to, tolen, overlapped, routine), lpErrno);
}

int WSPAPI RecvFrom(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, sockaddr* from,
                    LPINT fromlen, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine,
                    LPWSATHREADID, LPINT lpErrno)
{
    return Done(::WSARecvFrom(s, buffers, count, received, flags, from, fromlen, overlapped, routine), lpErrno);
}

BOOL WSPAPI GetOverlappedResult(SOCKET s, LPWSAOVERLAPPED overlapped, LPDWORD cb, BOOL wait, LPDWORD flags,
                                LPINT lpErrno)
{
    const BOOL done = ::WSAGetOverlappedResult(s, overlapped, cb, wait, flags);
    *lpErrno = done ? 0 : ::WSAGetLastError();
    return done;
}

int WSPAPI CloseSocket(SOCKET s, LPINT lpErrno)
{
    return Done(::closesocket(s), lpErrno);
}

int WSPAPI Ioctl(SOCKET s, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD cbReturned,
                 LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, LPWSATHREADID, LPINT lpErrno)
{
    return Done(::WSAIoctl(s, code, in, cbIn, out, cbOut, cbReturned, overlapped, routine), lpErrno);
}

int WSPAPI GetSockOpt(SOCKET s, int level, int name, char* value, LPINT cbValue, LPINT lpErrno)
{
    return Done(::getsockopt(s, level, name, value, cbValue), lpErrno);
}

} // namespace

extern "C" __declspec(dllexport) int WSPAPI WSPStartup(WORD, LPWSPDATA, LPWSAPROTOCOL_INFOW, WSPUPCALLTABLE,
                                                       LPWSPPROC_TABLE table)
{
    *table = {};
    table->lpWSPBind = Bind;
    table->lpWSPConnect = Connect;
    table->lpWSPSendTo = SendTo;
    table->lpWSPRecvFrom = RecvFrom;
    table->lpWSPGetOverlappedResult = GetOverlappedResult;
    table->lpWSPCloseSocket = CloseSocket;
    table->lpWSPIoctl = Ioctl;
    table->lpWSPGetSockOpt = GetSockOpt;
    return 0;
}
