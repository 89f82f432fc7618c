// What the receive-from hooks keep between a call and its completion, so that
// the source address of an overlapped receive reaches route preparation once
// the next layer has written it.
//
// RecvFromContext: one per overlapped receive-from with a completion routine.
// CreateRecvFromContext makes it; from then on the record belongs to whoever
// the request is with: IntermediateCompletionRoutine releases it when the next
// layer completes the request, and the issuing call releases it with
// ReleaseRecvFromContext when the next layer refused the request at once and
// no completion follows (IsCompletionStillQueued).
//
// PendingRecvFromTable: the buffers of each outstanding event-based
// receive-from, by socket and overlapped structure, guarded by PendingRecvFromLock (bind/control/provider_state.h). When
// that lock could not be created, nothing is recorded.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

#include <cstddef>
#include <map>
#include <utility>

struct RecvFromContext
{
    // First, so the record is found again from the overlapped pointer that
    // the next layer hands to IntermediateCompletionRoutine.
    WSAOVERLAPPED Overlapped;
    LPWSAOVERLAPPED lpCallerOverlapped;
    SOCKET Socket;
    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCallerCompletionRoutine;
    WSATHREADID ThreadId;
    BOOL ThreadOpened; // ThreadId came from WPUOpenCurrentThread
    sockaddr* lpFrom;
    LPINT lpFromlen;
    BOOL IsSourceRouted; // the issuing call routed the source already
};

// Null on failure, with WSAENOBUFS (no memory), WSAEFAULT (the caller's
// overlapped structure is null or cannot be read) or the error of
// WPUOpenCurrentThread in *lpErrno.
RecvFromContext* CreateRecvFromContext(SOCKET s, LPWSAOVERLAPPED lpOverlapped,
                                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                                       LPWSATHREADID lpThreadId, LPINT lpErrno) noexcept;
// Closes an opened thread and frees the record.
void ReleaseRecvFromContext(RecvFromContext* context) noexcept;

// Route preparation for the source host a completed receive wrote into the
// caller's buffer; nothing when the caller gave none, its length does not
// reach the address (the buffer is never read past its length), or the
// source is not an IPv4 address.
void PrepareRouteForSource(const sockaddr* lpFrom, const int* lpFromlen) noexcept;

// A completion routine we put in the caller's place runs our code later, as
// an APC in the caller's thread; the library must still be mapped then, even
// when the application's WSACleanup has made Winsock unload it meanwhile.
// The first call takes a reference on the library that is never given back.
// False when it cannot be taken: the request then goes down untracked.
bool PinProviderModule() noexcept;

// The next layer refused a request with a completion routine at once with
// this error, yet its completion is still queued: WSA_IO_PENDING, and the
// NT warning statuses, of which a receive-from meets WSAEMSGSIZE (a datagram
// cut to the buffer). After any other error no completion follows.
bool IsCompletionStillQueued(int error) noexcept;

// What the caller's overlapped structure shows once the next layer took a
// request (result 0, or SOCKET_ERROR with error, the completion queued all
// the same): STATUS_PENDING while it is pending, as the next layer's own
// structure does, else the values the next layer wrote. The completion
// routine writes the final values before the caller's routine runs, so
// until then nothing tells the caller that its buffers are free.
void ShowRequestStateToCaller(const RecvFromContext& context, int result, int error) noexcept;

// Stands in for the caller's completion routine; runs as an APC in the
// issuing thread.
void CALLBACK IntermediateCompletionRoutine(DWORD dwError, DWORD cbTransferred, LPWSAOVERLAPPED lpOverlapped,
                                            DWORD dwFlags) noexcept;

struct PendingRecvFrom
{
    SOCKET Socket;
    LPWSAOVERLAPPED lpOverlapped;
    sockaddr* lpFrom;
    LPINT lpFromlen;
};

// One entry per socket and overlapped structure: a socket may have many
// receives outstanding (a UDP server's usual way), each found again by the
// structure its result query names. A new receive on the same structure
// replaces the entry of the one before, which has ended. Not thread-safe:
// the caller holds PendingRecvFromLock.
class PendingRecvFromMap
{
public:
    // False when memory ran out: the request then goes untracked.
    bool Set(const PendingRecvFrom& entry) noexcept;
    // Removes the entry of that socket and structure into *entry; false
    // when there is none.
    bool Take(SOCKET s, LPWSAOVERLAPPED lpOverlapped, PendingRecvFrom* entry) noexcept;
    // Removes every entry of the socket.
    void Remove(SOCKET s) noexcept;
    size_t Size() const noexcept { return m_entries.size(); }
    void Clear() noexcept { m_entries.clear(); }

private:
    using Key = std::pair<SOCKET, LPWSAOVERLAPPED>;
    std::map<Key, PendingRecvFrom> m_entries;
};

// Never destroyed (common/process_wide.h): the library's unload empties it.
extern PendingRecvFromMap& PendingRecvFromTable; // guarded by PendingRecvFromLock

// Test seams. The record allocator returns zero-filled memory that HeapFree
// on the process heap releases, or null; null restores the process heap.
// Set it only while no receive-from runs.
using RecvFromContextAllocator = void* (*)(size_t cbRecord) noexcept;
void SetRecvFromContextAllocator(RecvFromContextAllocator allocate) noexcept;
// What PinProviderModule does; null restores the real pin. Set it only
// while no receive-from runs.
using ProviderModulePinner = bool (*)() noexcept;
void SetProviderModulePinner(ProviderModulePinner pin) noexcept;
// Records created and not yet released, to prove that none leaks.
LONG GetLiveRecvFromContextCount() noexcept;
