#include "bind/core/recvfrom_tracking.h"

#include "bind/core/caller_memory.h"
#include "bind/core/host_address.h"
#include "bind/core/last_error.h"
#include "bind/core/provider_tables.h"
#include "bind/core/route_cache.h"
#include "common/process_wide.h"

namespace
{
ProcessWide<PendingRecvFromMap> PendingRecvFromStorage;
} // namespace

PendingRecvFromMap& PendingRecvFromTable = PendingRecvFromStorage.Get();

namespace
{

void* AllocateFromProcessHeap(size_t cbRecord) noexcept
{
    return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, cbRecord);
}

RecvFromContextAllocator CurrentAllocator = AllocateFromProcessHeap;
volatile LONG LiveContexts = 0;

void FreeContext(RecvFromContext* context) noexcept
{
    ::HeapFree(::GetProcessHeap(), 0, context);
    ::InterlockedDecrement(&LiveContexts);
}

// Winsock passes a thread id with every request that carries a completion
// routine; a caller that passes none gets the current thread opened, since
// the next layer needs a thread to queue the completion to.
bool OpenCallerThread(RecvFromContext* context, LPINT lpErrno) noexcept
{
    LPWPUOPENCURRENTTHREAD open = SavedUpcallTable.lpWPUOpenCurrentThread;
    if (open == nullptr)
    {
        *lpErrno = WSAEINVAL;
        return false;
    }
    int error = 0;
    if (open(&context->ThreadId, &error) == SOCKET_ERROR)
    {
        *lpErrno = error != 0 ? error : WSAEINVAL;
        return false;
    }
    context->ThreadOpened = TRUE;
    return true;
}

} // namespace

RecvFromContext* CreateRecvFromContext(SOCKET s, LPWSAOVERLAPPED lpOverlapped,
                                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                                       LPWSATHREADID lpThreadId, LPINT lpErrno) noexcept
{
    auto* context = static_cast<RecvFromContext*>(CurrentAllocator(sizeof(RecvFromContext)));
    if (context == nullptr)
    {
        *lpErrno = WSAENOBUFS;
        return nullptr;
    }
    ::InterlockedIncrement(&LiveContexts);

    WSAOVERLAPPED caller;
    if (!ReadCallerMemory(&caller, lpOverlapped, sizeof(caller)))
    {
        *lpErrno = WSAEFAULT;
        FreeContext(context);
        return nullptr;
    }
    context->Overlapped.Offset = caller.Offset;
    context->Overlapped.OffsetHigh = caller.OffsetHigh;

    if (lpThreadId != nullptr)
    {
        context->ThreadId = *lpThreadId;
    }
    else if (!OpenCallerThread(context, lpErrno))
    {
        FreeContext(context);
        return nullptr;
    }

    context->lpCallerOverlapped = lpOverlapped;
    context->Socket = s;
    context->lpCallerCompletionRoutine = lpCompletionRoutine;
    return context;
}

void ReleaseRecvFromContext(RecvFromContext* context) noexcept
{
    if (context->ThreadOpened)
    {
        int error = 0;
        LPWPUCLOSETHREAD close = SavedUpcallTable.lpWPUCloseThread;
        if (close != nullptr)
        {
            (void)close(&context->ThreadId, &error);
        }
    }
    FreeContext(context);
}

void PrepareRouteForSource(const sockaddr* lpFrom, const int* lpFromlen) noexcept
{
    // An IPv4 source needs its address field, bytes 4 to 7 (a shorter one,
    // of a receive that failed for want of room, has none to read); a
    // dual-stack socket's mapped source its sin6_addr.
    ULONG host = 0;
    bool isMapped = false;
    if (lpFromlen != nullptr && GetIpv4Host(lpFrom, *lpFromlen, kIpv4AddressField, &host, &isMapped))
    {
        (void)PrepareRouteForHostNetwork(host);
    }
}

bool IsCompletionStillQueued(int error) noexcept
{
    static const int kQueuedAfter[] = {WSA_IO_PENDING, WSAEMSGSIZE};
    for (int code : kQueuedAfter)
    {
        if (error == code)
        {
            return true;
        }
    }
    return false;
}

void ShowRequestStateToCaller(const RecvFromContext& context, int result, int error) noexcept
{
    LPWSAOVERLAPPED caller = context.lpCallerOverlapped;
    if (result == SOCKET_ERROR && error == WSA_IO_PENDING)
    {
        caller->Internal = STATUS_PENDING;
        return;
    }
    caller->Internal = context.Overlapped.Internal;
    caller->InternalHigh = context.Overlapped.InternalHigh;
}

namespace
{

bool PinThisModule() noexcept
{
    static volatile LONG isPinned = 0;
    if (::InterlockedCompareExchange(&isPinned, 0, 0) != 0)
    {
        return true;
    }
    // The module that holds this code, found from an address inside it.
    MEMORY_BASIC_INFORMATION region;
    if (::VirtualQuery(reinterpret_cast<const void*>(&PinThisModule), &region, sizeof(region)) == 0)
    {
        return false;
    }
    wchar_t path[MAX_PATH + 1];
    const DWORD cch = ::GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), path, MAX_PATH + 1);
    if (cch == 0 || cch > MAX_PATH)
    {
        return false;
    }
    HMODULE reference = ::LoadLibraryW(path);
    if (reference == nullptr)
    {
        return false;
    }
    if (::InterlockedCompareExchange(&isPinned, 1, 0) != 0)
    {
        ::FreeLibrary(reference); // another thread pinned it first
    }
    return true;
}

ProviderModulePinner CurrentPinner = PinThisModule;

} // namespace

bool PinProviderModule() noexcept
{
    return CurrentPinner();
}

void SetProviderModulePinner(ProviderModulePinner pin) noexcept
{
    CurrentPinner = pin != nullptr ? pin : PinThisModule;
}

void CALLBACK IntermediateCompletionRoutine(DWORD dwError, DWORD cbTransferred, LPWSAOVERLAPPED lpOverlapped,
                                            DWORD dwFlags) noexcept
{
    if (lpOverlapped == nullptr)
    {
        return;
    }
    auto* context = reinterpret_cast<RecvFromContext*>(lpOverlapped);

    // Even a failed receive: the route step must come before the caller
    // sees the completion, and a failed one costs at most a cached lookup.
    // A receive that completed within its call was routed there already.
    if (!context->IsSourceRouted)
    {
        KeepLastError keep;
        PrepareRouteForSource(context->lpFrom, context->lpFromlen);
    }

    LPWSAOVERLAPPED caller = context->lpCallerOverlapped;
    caller->Internal = context->Overlapped.Internal;
    caller->InternalHigh = context->Overlapped.InternalHigh;
    caller->Offset = context->Overlapped.Offset;
    caller->OffsetHigh = context->Overlapped.OffsetHigh;
    if (context->lpCallerCompletionRoutine != nullptr)
    {
        context->lpCallerCompletionRoutine(dwError, cbTransferred, caller, dwFlags);
    }
    KeepLastError keep;
    ReleaseRecvFromContext(context);
}

bool PendingRecvFromMap::Set(const PendingRecvFrom& entry) noexcept
{
    try
    {
        m_entries[Key(entry.Socket, entry.lpOverlapped)] = entry;
        return true;
    }
    catch (...)
    {
        return false;
    }
}

bool PendingRecvFromMap::Take(SOCKET s, LPWSAOVERLAPPED lpOverlapped, PendingRecvFrom* entry) noexcept
{
    auto found = m_entries.find(Key(s, lpOverlapped));
    if (found == m_entries.end())
    {
        return false;
    }
    *entry = found->second;
    m_entries.erase(found);
    return true;
}

void PendingRecvFromMap::Remove(SOCKET s) noexcept
{
    auto first = m_entries.lower_bound(Key(s, nullptr));
    auto last = first;
    while (last != m_entries.end() && last->first.first == s)
    {
        ++last;
    }
    m_entries.erase(first, last);
}

void SetRecvFromContextAllocator(RecvFromContextAllocator allocate) noexcept
{
    CurrentAllocator = allocate != nullptr ? allocate : AllocateFromProcessHeap;
}

LONG GetLiveRecvFromContextCount() noexcept
{
    return LiveContexts;
}
