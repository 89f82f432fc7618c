#include "bind/core/extension_functions.h"

#include "bind/control/control_block.h"
#include "bind/control/provider_state.h"
#include "bind/core/last_error.h"
#include "bind/core/provider_tables.h"
#include "bind/core/recvfrom_tracking.h"
#include "bind/core/socket_hooks.h"
#include "common/process_wide.h"

#include <cstring>
#include <map>

namespace
{

enum Extension : int
{
    kConnectEx = 0,
    kSendMsg = 1,
    kRecvMsg = 2,
    kExtensionCount = 3,
};

// WSAID_CONNECTEX, WSAID_WSASENDMSG, WSAID_WSARECVMSG (the headers give the
// last two only for Vista and later).
const GUID kExtensionIds[kExtensionCount] = {
    {0x25a207b9, 0xddf3, 0x4660, {0x8e, 0xe9, 0x76, 0xe5, 0x8c, 0x74, 0x06, 0x3e}},
    {0xa441e712, 0x754f, 0x43ca, {0x84, 0xa7, 0x0d, 0xee, 0x44, 0xcf, 0x60, 0x6d}},
    {0xf689d7c8, 0x6f1f, 0x436b, {0x8a, 0x53, 0xe5, 0x4f, 0xe3, 0x51, 0xc3, 0x22}},
};

void* OurFunction(int which) noexcept
{
    switch (which)
    {
    case kConnectEx:
        return reinterpret_cast<void*>(&ConnectExThroughProvider);
    case kSendMsg:
        return reinterpret_cast<void*>(&WSASendMsgThroughProvider);
    default:
        return reinterpret_cast<void*>(&WSARecvMsgThroughProvider);
    }
}

int ExtensionOf(const GUID& id) noexcept
{
    for (int which = 0; which < kExtensionCount; ++which)
    {
        if (std::memcmp(&id, &kExtensionIds[which], sizeof(GUID)) == 0)
        {
            return which;
        }
    }
    return -1;
}

// A WSARecvMsg whose completion routine the provider's stands in for; the
// next layer has the caller's own overlapped structure, by which the record
// is found again.
struct RoutineRecord
{
    LPWSAOVERLAPPED_COMPLETION_ROUTINE callerRoutine;
    LPWSAMSG lpMsg;
    bool isSourceRouted; // the issuing call routed it already
};

// Not thread-safe: the caller holds ExtensionFunctionLock.
class ExtensionTables
{
public:
    bool Remember(SOCKET s, int which, void* next) noexcept
    {
        try
        {
            m_bySocket[s].functions[which] = next;
        }
        catch (...)
        {
            return false;
        }
        m_latest[which] = next;
        return true;
    }

    void* Find(SOCKET s, int which) const noexcept
    {
        auto found = m_bySocket.find(s);
        void* next = found != m_bySocket.end() ? found->second.functions[which] : nullptr;
        return next != nullptr ? next : m_latest[which];
    }

    void Forget(SOCKET s) noexcept { m_bySocket.erase(s); }

    bool AddRoutine(LPWSAOVERLAPPED lpOverlapped, const RoutineRecord& record) noexcept
    {
        try
        {
            return m_routines.insert({lpOverlapped, record}).second;
        }
        catch (...)
        {
            return false;
        }
    }

    bool TakeRoutine(LPWSAOVERLAPPED lpOverlapped, RoutineRecord* record) noexcept
    {
        auto found = m_routines.find(lpOverlapped);
        if (found == m_routines.end())
        {
            return false;
        }
        *record = found->second;
        m_routines.erase(found);
        return true;
    }

    void MarkRouted(LPWSAOVERLAPPED lpOverlapped) noexcept
    {
        auto found = m_routines.find(lpOverlapped);
        if (found != m_routines.end())
        {
            found->second.isSourceRouted = true;
        }
    }

    void Clear() noexcept
    {
        m_bySocket.clear();
        m_routines.clear();
    }

private:
    struct NextFunctions
    {
        void* functions[kExtensionCount] = {};
    };

    std::map<SOCKET, NextFunctions> m_bySocket;
    void* m_latest[kExtensionCount] = {};
    std::map<LPWSAOVERLAPPED, RoutineRecord> m_routines;
};

ProcessWide<ExtensionTables> TablesStorage;

ExtensionTables& Tables() noexcept
{
    return TablesStorage.Get();
}

void* NextFunction(SOCKET s, int which) noexcept
{
    if (!ExtensionFunctionLock.IsInitialized())
    {
        return nullptr;
    }
    auto guard = ExtensionFunctionLock.Lock();
    return Tables().Find(s, which);
}

// The source a completed receive wrote into the program's message, which the
// program keeps for the receive until it has completed.
void RouteReceivedSource(const WSAMSG* lpMsg) noexcept
{
    if (lpMsg->name != nullptr)
    {
        PrepareRouteForSource(lpMsg->name, &lpMsg->namelen);
    }
}

void CALLBACK RecvMsgCompleted(DWORD dwError, DWORD cbTransferred, LPWSAOVERLAPPED lpOverlapped,
                               DWORD dwFlags) noexcept
{
    RoutineRecord record{};
    bool isFound = false;
    {
        auto guard = ExtensionFunctionLock.Lock();
        isFound = Tables().TakeRoutine(lpOverlapped, &record);
    }
    if (!isFound)
    {
        return; // cannot be: the record is made before the request goes down
    }
    if (!record.isSourceRouted)
    {
        KeepLastError keep;
        RouteReceivedSource(record.lpMsg);
    }
    record.callerRoutine(dwError, cbTransferred, lpOverlapped, dwFlags);
}

// An event-based (or completion port) receive: its source is routed by the
// program's result query, like an event-based receive-from's.
INT ReceiveForTheResultQuery(WSARecvMsgFn next, SOCKET s, LPWSAMSG lpMsg, LPDWORD lpdwNumberOfBytesRecvd,
                             LPWSAOVERLAPPED lpOverlapped) noexcept
{
    bool isRecorded = false;
    if (PendingRecvFromLock.IsInitialized())
    {
        auto guard = PendingRecvFromLock.Lock();
        isRecorded = PendingRecvFromTable.Set({s, lpOverlapped, lpMsg->name, &lpMsg->namelen});
    }
    const INT result = next(s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped, nullptr);
    if (!isRecorded || (result != 0 && ::WSAGetLastError() == WSA_IO_PENDING))
    {
        return result;
    }
    // Completed within the call, or refused: no query will come for it.
    KeepLastError keep;
    PendingRecvFrom entry{};
    {
        auto guard = PendingRecvFromLock.Lock();
        (void)PendingRecvFromTable.Take(s, lpOverlapped, &entry);
    }
    if (result == 0)
    {
        RouteReceivedSource(lpMsg);
    }
    return result;
}

INT ReceiveThroughOurRoutine(WSARecvMsgFn next, SOCKET s, LPWSAMSG lpMsg, LPDWORD lpdwNumberOfBytesRecvd,
                             LPWSAOVERLAPPED lpOverlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) noexcept
{
    bool isRecorded = false;
    {
        KeepLastError keep;
        if (ExtensionFunctionLock.IsInitialized() && PinProviderModule())
        {
            auto guard = ExtensionFunctionLock.Lock();
            isRecorded = Tables().AddRoutine(lpOverlapped, {lpCompletionRoutine, lpMsg, false});
        }
    }
    if (!isRecorded)
    {
        return next(s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped, lpCompletionRoutine);
    }
    const INT result = next(s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped, RecvMsgCompleted);
    const int error = result == 0 ? 0 : ::WSAGetLastError();
    KeepLastError keep;
    if (result != 0 && !IsCompletionStillQueued(error))
    {
        // Refused at once, and no completion follows: the record is ours.
        RoutineRecord record{};
        auto guard = ExtensionFunctionLock.Lock();
        (void)Tables().TakeRoutine(lpOverlapped, &record);
        return result;
    }
    if (result == 0)
    {
        // The completion runs in this thread at its next alertable wait,
        // which none of this reaches.
        {
            auto guard = ExtensionFunctionLock.Lock();
            Tables().MarkRouted(lpOverlapped);
        }
        RouteReceivedSource(lpMsg);
    }
    return result;
}

} // namespace

int WSPAPI WSPIoctl(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer, LPVOID lpvOutBuffer,
                    DWORD cbOutBuffer, LPDWORD lpcbBytesReturned, LPWSAOVERLAPPED lpOverlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                    LPINT lpErrno) noexcept
{
    const int result = NextProcTable.lpWSPIoctl(s, dwIoControlCode, lpvInBuffer, cbInBuffer, lpvOutBuffer,
                                                cbOutBuffer, lpcbBytesReturned, lpOverlapped, lpCompletionRoutine,
                                                lpThreadId, lpErrno);
    if (result != 0 || dwIoControlCode != SIO_GET_EXTENSION_FUNCTION_POINTER || cbInBuffer < sizeof(GUID)
        || cbOutBuffer < sizeof(void*) || !ExtensionFunctionLock.IsInitialized() || !IsInterceptingNow())
    {
        return result;
    }
    // The next layer has just read the identifier and written its function:
    // both buffers are there.
    KeepLastError keep;
    GUID id;
    void* next = nullptr;
    std::memcpy(&id, lpvInBuffer, sizeof(id));
    std::memcpy(&next, lpvOutBuffer, sizeof(next));
    if (next == nullptr)
    {
        return result;
    }
    const int which = ExtensionOf(id);
    if (which < 0)
    {
        return result; // AcceptEx, TransmitFile, DisconnectEx...: the next layer's
    }
    bool isRemembered = false;
    {
        auto guard = ExtensionFunctionLock.Lock();
        isRemembered = Tables().Remember(s, which, next);
    }
    if (isRemembered)
    {
        // The next layer has just written its function there.
        void* ours = OurFunction(which);
        std::memcpy(lpvOutBuffer, &ours, sizeof(ours));
    }
    return result;
}

BOOL PASCAL ConnectExThroughProvider(SOCKET s, const sockaddr* name, int namelen, PVOID lpSendBuffer,
                                     DWORD dwSendDataLength, LPDWORD lpdwBytesSent, LPOVERLAPPED lpOverlapped) noexcept
{
    auto next = reinterpret_cast<ConnectExFn>(NextFunction(s, kConnectEx));
    if (next == nullptr)
    {
        ::WSASetLastError(WSAEINVAL);
        return FALSE;
    }
    // ConnectEx takes a bound socket only: the bind rule has run in WSPBind.
    PrepareConnectToHost(s, name, namelen, false);
    return next(s, name, namelen, lpSendBuffer, dwSendDataLength, lpdwBytesSent, lpOverlapped);
}

INT WSAAPI WSASendMsgThroughProvider(SOCKET s, LPWSAMSG lpMsg, DWORD dwFlags, LPDWORD lpNumberOfBytesSent,
                                     LPWSAOVERLAPPED lpOverlapped,
                                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) noexcept
{
    auto next = reinterpret_cast<WSASendMsgFn>(NextFunction(s, kSendMsg));
    if (next == nullptr)
    {
        ::WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    // The message and its name are read as the classic send-to reads its
    // destination: they are the program's arguments to this very call.
    if (lpMsg != nullptr && lpMsg->name != nullptr)
    {
        PrepareSendToHost(s, lpMsg->name, lpMsg->namelen);
    }
    return next(s, lpMsg, dwFlags, lpNumberOfBytesSent, lpOverlapped, lpCompletionRoutine);
}

INT WSAAPI WSARecvMsgThroughProvider(SOCKET s, LPWSAMSG lpMsg, LPDWORD lpdwNumberOfBytesRecvd,
                                     LPWSAOVERLAPPED lpOverlapped,
                                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) noexcept
{
    auto next = reinterpret_cast<WSARecvMsgFn>(NextFunction(s, kRecvMsg));
    if (next == nullptr)
    {
        ::WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (!IsInterceptingNow() || lpMsg == nullptr)
    {
        return next(s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped, lpCompletionRoutine);
    }
    if (UseAsyncMode == 0 || lpOverlapped == nullptr)
    {
        const INT result = next(s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped, lpCompletionRoutine);
        if (result == 0)
        {
            KeepLastError keep;
            RouteReceivedSource(lpMsg);
        }
        return result;
    }
    if (lpCompletionRoutine == nullptr)
    {
        return ReceiveForTheResultQuery(next, s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped);
    }
    return ReceiveThroughOurRoutine(next, s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped, lpCompletionRoutine);
}

void ForgetExtensionFunctions(SOCKET s) noexcept
{
    if (ExtensionFunctionLock.IsInitialized())
    {
        auto guard = ExtensionFunctionLock.Lock();
        Tables().Forget(s);
    }
}

void ReleaseExtensionFunctionTables() noexcept
{
    Tables().Clear();
}
