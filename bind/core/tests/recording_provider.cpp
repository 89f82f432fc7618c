// A next-layer provider for tests: its WSPStartup fills all thirty entries
// with its own procedures, and the ones that the provider replaces record
// each call, so a test sees exactly what reaches the layer below. It never
// touches the network: received datagrams and their sources are planned by
// the test (recording_provider.h).
#include "bind/core/tests/recording_provider.h"

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
BYTE g_lastAddress[256] = {};
int g_lastAddressLength = 0;
DWORD g_lastErrorSeen = 0;
bool g_isLeavingLastError = false;
DWORD g_lastErrorToLeave = 0;

// Called first thing by every recorded procedure: notes the thread's last
// error as the call found it and, when planned, leaves another one, as a
// real provider's own system calls would.
int Record(const char* name, SOCKET s)
{
    g_lastErrorSeen = ::GetLastError();
    if (g_isLeavingLastError)
    {
        ::SetLastError(g_lastErrorToLeave);
    }
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
        // As a real provider probes it: an address shorter than its length
        // is not read past its end (only its first 16 bytes are kept then).
        const SIZE_T cbWanted = length < static_cast<int>(sizeof(g_lastAddress)) ? length : sizeof(g_lastAddress);
        SIZE_T cbRead = 0;
        if (!::ReadProcessMemory(::GetCurrentProcess(), address, g_lastAddress, cbWanted, &cbRead))
        {
            ::ReadProcessMemory(::GetCurrentProcess(), address, g_lastAddress, cbWanted < 16 ? cbWanted : 16, &cbRead);
        }
    }
    return Record(name, s);
}

int WSPAPI Bind(SOCKET s, const sockaddr* name, int namelen, LPINT)
{
    const DWORD seen = ::GetLastError();
    const int result = RecordAddress("WSPBind", s, name, namelen);
    g_lastErrorSeen = seen;
    return result;
}
int WSPAPI Connect(SOCKET s, const sockaddr* name, int namelen, LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPINT)
{
    const DWORD seen = ::GetLastError();
    const int result = RecordAddress("WSPConnect", s, name, namelen);
    g_lastErrorSeen = seen;
    return result;
}
int WSPAPI SendTo(SOCKET s, LPWSABUF, DWORD, LPDWORD, DWORD, const sockaddr* to, int tolen, LPWSAOVERLAPPED,
                  LPWSAOVERLAPPED_COMPLETION_ROUTINE, LPWSATHREADID, LPINT)
{
    const DWORD seen = ::GetLastError();
    const int result = RecordAddress("WSPSendTo", s, to, tolen);
    g_lastErrorSeen = seen;
    return result;
}
// A receive-from as a real provider keeps it until it completes. The thread
// id is stored by value, as the interface asks of providers.
struct PendingRequest
{
    LPWSAOVERLAPPED lpOverlapped;
    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine;
    WSATHREADID ThreadId;
    bool hasThreadId;
    sockaddr* lpFrom;
    LPINT lpFromlen;
};

struct QueuedCompletion
{
    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine;
    DWORD error;
    DWORD cbTransferred;
    LPWSAOVERLAPPED lpOverlapped;
};

constexpr int kMaxPending = 8;
int g_recvFromOutcome = RecvFromRecordOnly;
int g_recvFromError = 0;
BYTE g_source[128] = {};
int g_cbSource = 0;
DWORD g_cbReceived = 0;
RecordedRecvFrom g_lastRecvFrom = {};
PendingRequest g_pending[kMaxPending] = {};
int g_pendingCount = 0;

void CALLBACK RunCompletion(ULONG_PTR parameter)
{
    auto* completion = reinterpret_cast<QueuedCompletion*>(parameter);
    completion->routine(completion->error, completion->cbTransferred, completion->lpOverlapped, 0);
    delete completion;
}

void WriteSource(sockaddr* lpFrom, LPINT lpFromlen)
{
    if (lpFrom == nullptr || lpFromlen == nullptr)
    {
        return;
    }
    const int cbCopy = *lpFromlen < g_cbSource ? *lpFromlen : g_cbSource;
    if (cbCopy > 0)
    {
        std::memcpy(lpFrom, g_source, cbCopy);
    }
    *lpFromlen = g_cbSource;
}

// As the transport does it: status and byte count into the overlapped
// structure, then the routine to the issuing thread or the event set.
void Complete(const PendingRequest& request, DWORD error)
{
    const DWORD cbTransferred = error == 0 ? g_cbReceived : 0;
    if (error == 0)
    {
        WriteSource(request.lpFrom, request.lpFromlen);
    }
    request.lpOverlapped->Internal = error;
    request.lpOverlapped->InternalHigh = cbTransferred;
    if (request.lpCompletionRoutine != nullptr)
    {
        if (!request.hasThreadId)
        {
            return; // nowhere to deliver it: the test sees the routine never run
        }
        auto* completion = new QueuedCompletion{request.lpCompletionRoutine, error, cbTransferred,
                                                request.lpOverlapped};
        if (::QueueUserAPC(RunCompletion, request.ThreadId.ThreadHandle, reinterpret_cast<ULONG_PTR>(completion))
            == 0)
        {
            delete completion;
        }
        return;
    }
    if (request.lpOverlapped->hEvent != nullptr)
    {
        ::SetEvent(request.lpOverlapped->hEvent);
    }
}

int WSPAPI RecvFrom(SOCKET s, LPWSABUF, DWORD, LPDWORD lpNumberOfBytesRecvd, LPDWORD, sockaddr* lpFrom,
                    LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                    LPWSATHREADID lpThreadId, LPINT lpErrno)
{
    const int recorded = Record("WSPRecvFrom", s);
    g_lastRecvFrom = {lpOverlapped, lpCompletionRoutine, lpThreadId, lpFrom, lpFromlen,
                      lpOverlapped != nullptr ? lpOverlapped->Offset : 0,
                      lpOverlapped != nullptr ? lpOverlapped->OffsetHigh : 0};
    switch (g_recvFromOutcome)
    {
    case RecvFromRefused:
        *lpErrno = g_recvFromError;
        return SOCKET_ERROR;
    case RecvFromWarnedAndQueued:
        if (lpOverlapped != nullptr)
        {
            PendingRequest request = {lpOverlapped, lpCompletionRoutine, {}, lpThreadId != nullptr, lpFrom, lpFromlen};
            if (lpThreadId != nullptr)
            {
                request.ThreadId = *lpThreadId;
            }
            Complete(request, static_cast<DWORD>(g_recvFromError));
        }
        *lpErrno = g_recvFromError;
        return SOCKET_ERROR;
    case RecvFromPending:
    case RecvFromAtOnce:
        break;
    default:
        return recorded;
    }
    if (lpOverlapped == nullptr)
    {
        WriteSource(lpFrom, lpFromlen);
        if (lpNumberOfBytesRecvd != nullptr)
        {
            *lpNumberOfBytesRecvd = g_cbReceived;
        }
        return 0;
    }
    PendingRequest request = {lpOverlapped, lpCompletionRoutine, {}, lpThreadId != nullptr, lpFrom, lpFromlen};
    if (lpThreadId != nullptr)
    {
        request.ThreadId = *lpThreadId;
    }
    if (g_recvFromOutcome == RecvFromAtOnce)
    {
        Complete(request, 0);
        if (lpNumberOfBytesRecvd != nullptr)
        {
            *lpNumberOfBytesRecvd = g_cbReceived;
        }
        return 0;
    }
    if (g_pendingCount == kMaxPending)
    {
        *lpErrno = WSAENOBUFS;
        return SOCKET_ERROR;
    }
    lpOverlapped->Internal = STATUS_PENDING; // what NT's transports write
    g_pending[g_pendingCount++] = request;
    *lpErrno = WSA_IO_PENDING;
    return SOCKET_ERROR;
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
BOOL WSPAPI GetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer, BOOL, LPDWORD lpdwFlags,
                                LPINT lpErrno)
{
    const int recorded = Record("WSPGetOverlappedResult", s);
    if (lpOverlapped == nullptr)
    {
        return recorded;
    }
    if (lpOverlapped->Internal == STATUS_PENDING)
    {
        *lpErrno = WSA_IO_INCOMPLETE;
        return FALSE;
    }
    *lpcbTransfer = static_cast<DWORD>(lpOverlapped->InternalHigh);
    *lpdwFlags = 0;
    if (lpOverlapped->Internal != 0)
    {
        *lpErrno = static_cast<int>(lpOverlapped->Internal);
        return FALSE;
    }
    return TRUE;
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
    g_recvFromOutcome = RecvFromRecordOnly;
    g_pendingCount = 0;
    g_lastRecvFrom = {};
    g_isLeavingLastError = false;
}

// How the receive-froms until the next reset end; source is what completion
// writes into lpFrom (cbSource bytes, also stored in *lpFromlen).
RECORDING_API void RecordingProviderPlanRecvFrom(int outcome, int error, const BYTE* source, int cbSource,
                                                 DWORD cbReceived)
{
    g_recvFromOutcome = outcome;
    g_recvFromError = error;
    g_cbSource = cbSource < static_cast<int>(sizeof(g_source)) ? cbSource : static_cast<int>(sizeof(g_source));
    if (source != nullptr && g_cbSource > 0)
    {
        std::memcpy(g_source, source, g_cbSource);
    }
    g_cbReceived = cbReceived;
}

RECORDING_API BOOL RecordingProviderCompleteRecvFrom(DWORD error)
{
    if (g_pendingCount == 0)
    {
        return FALSE;
    }
    const PendingRequest request = g_pending[0];
    std::memmove(g_pending, g_pending + 1, (g_pendingCount - 1) * sizeof(g_pending[0]));
    --g_pendingCount;
    Complete(request, error);
    return TRUE;
}

RECORDING_API void RecordingProviderLastRecvFrom(RecordedRecvFrom* recorded)
{
    *recorded = g_lastRecvFrom;
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
    std::memcpy(address, g_lastAddress, 16);
    return g_lastAddressLength;
}

RECORDING_API int RecordingProviderLastAddressBytes(BYTE* address, int cbAddress)
{
    const int cbCopy = cbAddress < static_cast<int>(sizeof(g_lastAddress)) ? cbAddress
                                                                            : static_cast<int>(sizeof(g_lastAddress));
    std::memcpy(address, g_lastAddress, cbCopy);
    return g_lastAddressLength;
}

// The last error the latest recorded call found, and the one the calls leave
// from now on (isLeaving false: they leave it as they found it).
RECORDING_API DWORD RecordingProviderLastErrorSeen()
{
    return g_lastErrorSeen;
}

RECORDING_API void RecordingProviderLeaveLastError(BOOL isLeaving, DWORD error)
{
    g_isLeavingLastError = isLeaving != FALSE;
    g_lastErrorToLeave = error;
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
