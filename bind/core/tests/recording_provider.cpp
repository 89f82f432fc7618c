// A next-layer provider for tests: its WSPStartup fills all thirty entries
// with its own procedures, and the eight that the provider replaces record
// each call, so a test sees exactly what reaches the layer below. It never
// touches the network.
#include <winsock2.h>
#include <ws2spi.h>

#include <cstring>
#include <cwchar>

#define RECORDING_API extern "C" __declspec(dllexport)

namespace
{

int g_startupResult = 0;
int g_startupCalls = 0;
char g_lastCall[64] = "";
SOCKET g_lastSocket = INVALID_SOCKET;
int g_callResult = 0;
char g_callLog[1024] = "";
BYTE g_lastAddress[16] = {};
int g_lastAddressLength = 0;

int Record(const char* name, SOCKET s)
{
    std::strncpy(g_lastCall, name, sizeof(g_lastCall) - 1);
    g_lastSocket = s;
    if (std::strlen(g_callLog) + std::strlen(name) + 2 < sizeof(g_callLog))
    {
        std::strcat(g_callLog, g_callLog[0] != '\0' ? " " : "");
        std::strcat(g_callLog, name);
    }
    return g_callResult;
}

int RecordAddress(const char* name, SOCKET s, const sockaddr* address, int length)
{
    std::memset(g_lastAddress, 0, sizeof(g_lastAddress));
    g_lastAddressLength = length;
    if (address != nullptr && length > 0)
    {
        std::memcpy(g_lastAddress, address, length < 16 ? length : 16);
    }
    return Record(name, s);
}

int WSPAPI Bind(SOCKET s, const sockaddr* name, int namelen, LPINT)
{
    return RecordAddress("WSPBind", s, name, namelen);
}
int WSPAPI Connect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPINT)
{
    return RecordAddress("WSPConnect", s, name, namelen);
}
int WSPAPI SendTo(SOCKET s, LPWSABUF, DWORD, LPDWORD, DWORD, const sockaddr* to, int tolen, LPWSAOVERLAPPED,
                  LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT)
{
    return RecordAddress("WSPSendTo", s, to, tolen);
}
int WSPAPI RecvFrom(SOCKET s, LPWSABUF, DWORD, LPDWORD, LPDWORD, sockaddr*, LPINT, LPWSAOVERLAPPED,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT)
{
    return Record("WSPRecvFrom", s);
}
int WSPAPI Send(SOCKET s, LPWSABUF, DWORD, LPDWORD, DWORD, LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE,
                LPWSATHREADID, LPINT)
{
    return Record("WSPSend", s);
}
int WSPAPI Recv(SOCKET s, LPWSABUF, DWORD, LPDWORD, LPDWORD, LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE,
                LPWSATHREADID, LPINT)
{
    return Record("WSPRecv", s);
}
BOOL WSPAPI GetOverlappedResult(SOCKET s, LPWSAOVERLAPPED, LPDWORD, BOOL, LPDWORD, LPINT)
{
    return Record("WSPGetOverlappedResult", s);
}
int WSPAPI CloseSocket(SOCKET s, LPINT) { return Record("WSPCloseSocket", s); }

// The other twenty-two entries only need to be distinct and never called by
// the tests; each is a function of its own.
template <int N>
int WSPAPI Unused()
{
    return SOCKET_ERROR;
}

template <typename Fn, int N>
Fn UnusedEntry()
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(&Unused<N>));
}

} // namespace

RECORDING_API void RecordingProviderReset(int startupResult, int callResult)
{
    g_startupResult = startupResult;
    g_callResult = callResult;
    g_startupCalls = 0;
    g_lastCall[0] = '\0';
    g_callLog[0] = '\0';
    g_lastSocket = INVALID_SOCKET;
}

// The names of the calls since the last reset, separated by spaces.
RECORDING_API const char* RecordingProviderCallLog()
{
    return g_callLog;
}

// The address the last bind, connect or send-to passed down (16 bytes) and
// the length that came with it.
RECORDING_API int RecordingProviderLastAddress(BYTE* address)
{
    std::memcpy(address, g_lastAddress, sizeof(g_lastAddress));
    return g_lastAddressLength;
}

RECORDING_API int RecordingProviderStartupCalls()
{
    return g_startupCalls;
}

RECORDING_API const char* RecordingProviderLastCall(SOCKET* s)
{
    *s = g_lastSocket;
    return g_lastCall;
}

RECORDING_API int WSPAPI WSPStartup(WORD wVersionRequested, LPWSPDATA lpWSPData, LPWSAPROTOCOL_INFOW,
                                    WSPUPCALLTABLE, LPWSPPROC_TABLE lpProcTable)
{
    ++g_startupCalls;
    if (g_startupResult != 0)
    {
        return g_startupResult;
    }
    lpWSPData->wVersion = wVersionRequested;
    lpWSPData->wHighVersion = MAKEWORD(2, 2);
    std::wcscpy(lpWSPData->szDescription, L"recording provider");

    WSPPROC_TABLE& t = *lpProcTable;
    t.lpWSPAccept = UnusedEntry<LPWSPACCEPT, 1>();
    t.lpWSPAddressToString = UnusedEntry<LPWSPADDRESSTOSTRING, 2>();
    t.lpWSPAsyncSelect = UnusedEntry<LPWSPASYNCSELECT, 3>();
    t.lpWSPBind = Bind;
    t.lpWSPCancelBlockingCall = UnusedEntry<LPWSPCANCELBLOCKINGCALL, 5>();
    t.lpWSPCleanup = UnusedEntry<LPWSPCLEANUP, 6>();
    t.lpWSPCloseSocket = CloseSocket;
    t.lpWSPConnect = Connect;
    t.lpWSPDuplicateSocket = UnusedEntry<LPWSPDUPLICATESOCKET, 9>();
    t.lpWSPEnumNetworkEvents = UnusedEntry<LPWSPENUMNETWORKEVENTS, 10>();
    t.lpWSPEventSelect = UnusedEntry<LPWSPEVENTSELECT, 11>();
    t.lpWSPGetOverlappedResult = GetOverlappedResult;
    t.lpWSPGetPeerName = UnusedEntry<LPWSPGETPEERNAME, 13>();
    t.lpWSPGetSockName = UnusedEntry<LPWSPGETSOCKNAME, 14>();
    t.lpWSPGetSockOpt = UnusedEntry<LPWSPGETSOCKOPT, 15>();
    t.lpWSPGetQOSByName = UnusedEntry<LPWSPGETQOSBYNAME, 16>();
    t.lpWSPIoctl = UnusedEntry<LPWSPIOCTL, 17>();
    t.lpWSPJoinLeaf = UnusedEntry<LPWSPJOINLEAF, 18>();
    t.lpWSPListen = UnusedEntry<LPWSPLISTEN, 19>();
    t.lpWSPRecv = Recv;
    t.lpWSPRecvDisconnect = UnusedEntry<LPWSPRECVDISCONNECT, 21>();
    t.lpWSPRecvFrom = RecvFrom;
    t.lpWSPSelect = UnusedEntry<LPWSPSELECT, 23>();
    t.lpWSPSend = Send;
    t.lpWSPSendDisconnect = UnusedEntry<LPWSPSENDDISCONNECT, 25>();
    t.lpWSPSendTo = SendTo;
    t.lpWSPSetSockOpt = UnusedEntry<LPWSPSETSOCKOPT, 27>();
    t.lpWSPShutdown = UnusedEntry<LPWSPSHUTDOWN, 28>();
    t.lpWSPSocket = UnusedEntry<LPWSPSOCKET, 29>();
    t.lpWSPStringToAddress = UnusedEntry<LPWSPSTRINGTOADDRESS, 30>();
    return 0;
}
