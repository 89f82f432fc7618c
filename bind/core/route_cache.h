// Route preparation for the hosts an intercepted application talks to: the
// route server is asked once (bind/control/route_pipe.h) and each
// confirmation is remembered for kRouteCacheLifetimeMs, so a busy connection
// costs one cache lookup per socket call instead of one pipe exchange.
//
// RouteCache is process-wide and guarded by RouteCacheLock
// (bind/control/provider_state.h); the lock is held for lookups, stores and
// removals only, never across the pipe exchange. When the lock could not be
// set up, nothing is cached and every call asks the server.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
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
// Not thread-safe: the caller holds the lock that guards the instance.
class RouteCacheMap
{
public:
    // The map is not swept before it reaches this size.
    static constexpr size_t kMinSweepSize = 64;

    bool IsFresh(ULONG host, DWORD now) const noexcept;
    // Inserts or overwrites. False when memory ran out: the host then stays
    // uncached, which only costs a request next time.
    bool Store(ULONG host, DWORD now) noexcept;
    void Remove(ULONG host) noexcept;
    size_t Size() const noexcept { return m_confirmedAt.size(); }
    void Clear() noexcept;

private:
    void SweepStale(DWORD now) noexcept;

    std::map<ULONG, DWORD> m_confirmedAt;
    size_t m_sweepAtSize = kMinSweepSize;
};

extern RouteCacheMap RouteCache; // guarded by RouteCacheLock

// True when the route is known to be prepared or nothing needs preparing
// (127.x.x.x, 0.0.0.0); false when the route server refused or could not be
// reached. Callers forward their socket call whatever the result.
bool PrepareRouteForHostNetwork(ULONG host) noexcept;
// PrepareRouteForHostNetwork for the socket's peer; false when the socket
// has no peer address.
bool PrepareRouteByPeerName(SOCKET s) noexcept;

// The clock of the cache, GetTickCount unless a test replaces it. Set it
// only while no route call runs; null restores GetTickCount.
using RouteTickSource = DWORD (*)() noexcept;
void SetRouteTickSource(RouteTickSource source) noexcept;
