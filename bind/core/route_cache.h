// Route preparation for the hosts an intercepted application talks to: the
// route server is asked once (bind/control/route_pipe.h) and each
// confirmation is remembered for kRouteCacheLifetimeMs, so a busy connection
// costs one cache lookup per socket call instead of one pipe exchange.
//
// RouteCache is process-wide and guarded by RouteCacheLock
// (bind/control/provider_state.h); a cache hit usually needs no lock at all,
// and the lock is held for lookups, stores and removals only, never across
// the pipe exchange. When the lock could not be set up, nothing is cached
// and every call asks the server.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>

// An entry older than this (strictly greater elapsed time) is refreshed.
constexpr DWORD kRouteCacheLifetimeMs = 120000;

// Hosts (network byte order, as in sin_addr) mapped to the GetTickCount
// value at which the route server last confirmed a route for them. Ticks
// are compared in unsigned 32-bit arithmetic, so the counter's wrap after
// 49.7 days is harmless.
//
// A stale entry acts exactly like a missing one, so stale entries are
// dropped in a sweep each time the map has doubled since the previous
// sweep: the map then holds little more than twice the hosts confirmed
// within the lifetime, at an amortised constant cost per new host.
//
// In front of the map lies a small table that every thread may read
// without the lock: the cache hit, the common case of every send and
// receive of a busy program, then costs a few reads and no shared write, so
// it scales with the threads. Each slot holds one host's confirmation and a
// sequence number that a writer makes odd while it changes the slot (a
// reader that sees it odd or changed takes its answer from the map). Hosts
// that share a slot take turns; the map still holds them all.
//
// Not thread-safe but for IsFreshWithoutLock: the caller holds the lock
// that guards the instance.
class RouteCacheMap
{
public:
    // The map is not swept before it reaches this size.
    static constexpr size_t kMinSweepSize = 64;
    static constexpr size_t kFrontSlots = 256;

    // Without the lock: true when the front table holds a fresh
    // confirmation for host. False tells nothing: ask IsFresh then.
    bool IsFreshWithoutLock(ULONG host, DWORD now) const noexcept;
    // The map's answer; a fresh entry is put in front for the next reader.
    bool IsFresh(ULONG host, DWORD now) noexcept;
    // Inserts or overwrites. False when memory ran out: the host then stays
    // uncached, which only costs a request next time.
    bool Store(ULONG host, DWORD now) noexcept;
    void Remove(ULONG host) noexcept;
    size_t Size() const noexcept { return m_confirmedAt.size(); }
    void Clear() noexcept;

private:
    struct FrontSlot
    {
        std::atomic<std::uint32_t> sequence; // odd while a writer changes the slot
        std::atomic<std::uint32_t> host;     // 0: empty (0.0.0.0 is never cached)
        std::atomic<std::uint32_t> confirmedAt;
        std::uint32_t padding;
    };

    static size_t SlotOf(ULONG host) noexcept;
    static void WriteSlot(FrontSlot& slot, ULONG host, DWORD confirmedAt) noexcept;
    void Publish(ULONG host, DWORD confirmedAt) noexcept;
    void Unpublish(ULONG host) noexcept;
    void SweepStale(DWORD now) noexcept;

    std::map<ULONG, DWORD> m_confirmedAt;
    size_t m_sweepAtSize = kMinSweepSize;
    FrontSlot m_front[kFrontSlots] = {};
};

// Never destroyed (common/process_wide.h): the library's unload empties it.
extern RouteCacheMap& RouteCache; // guarded by RouteCacheLock

// After an exchange that the route server left unanswered (no free
// instance, or no reply, within the deadline), the process asks no more
// for this long: the application's calls go on at once, without routes.
// A server that misses a 3 s deadline is stuck, not slow (the contract's
// busy wait is 1 s), and stuck servers seldom recover within seconds;
// 30 s keeps a program that connects or sends in a loop frozen for less
// than a tenth of its time, and the first call after the window asks
// again. A refusal or an absent server is not remembered: both answer at
// once, and the next call asks again.
constexpr DWORD kRouteServerBackoffMs = 30000;

// Read and written without a lock by every thread: the window is one value.
class RouteServerBackoff
{
public:
    bool IsActive(DWORD now) const noexcept;
    void Begin(DWORD now) noexcept;
    void End() noexcept;

private:
    volatile LONG m_since = 0; // the tick it began with its lowest bit set; 0: none
};

extern RouteServerBackoff RouteBackoff;

// True when the route is known to be prepared or nothing needs preparing
// (127.x.x.x, 0.0.0.0); false when the route server refused, could not be
// reached, left the exchange unanswered or is being given a rest
// (RouteBackoff). Callers forward their socket call whatever the result.
bool PrepareRouteForHostNetwork(ULONG host) noexcept;
// PrepareRouteForHostNetwork for the socket's peer; false when the socket
// has no peer address.
bool PrepareRouteByPeerName(SOCKET s) noexcept;

// The clock of the cache, GetTickCount unless a test replaces it. Set it
// only while no route call runs; null restores GetTickCount.
using RouteTickSource = DWORD (*)() noexcept;
void SetRouteTickSource(RouteTickSource source) noexcept;
