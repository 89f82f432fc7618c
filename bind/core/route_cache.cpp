#include "bind/core/route_cache.h"

#include "bind/control/provider_state.h"
#include "bind/control/route_pipe.h"
#include "bind/core/winsock_calls.h"

#include <iterator>

RouteCacheMap RouteCache;

namespace
{

constexpr BYTE kLoopbackFirstOctet = 127;

DWORD SystemTick() noexcept
{
    return ::GetTickCount();
}

RouteTickSource CurrentTickSource = SystemTick;

bool IsStale(DWORD confirmedAt, DWORD now) noexcept
{
    return now - confirmedAt > kRouteCacheLifetimeMs;
}

bool IsHostWithoutRoute(ULONG host) noexcept
{
    // The first octet lies at the lowest address whatever the byte order.
    return reinterpret_cast<const BYTE*>(&host)[0] == kLoopbackFirstOctet || host == 0;
}

} // namespace

bool RouteCacheMap::IsFresh(ULONG host, DWORD now) const noexcept
{
    auto entry = m_confirmedAt.find(host);
    return entry != m_confirmedAt.end() && !IsStale(entry->second, now);
}

bool RouteCacheMap::Store(ULONG host, DWORD now) noexcept
{
    try
    {
        auto inserted = m_confirmedAt.insert({host, now});
        if (!inserted.second)
        {
            inserted.first->second = now;
            return true;
        }
    }
    catch (...)
    {
        return false;
    }
    if (m_confirmedAt.size() >= m_sweepAtSize)
    {
        SweepStale(now);
    }
    return true;
}

void RouteCacheMap::Remove(ULONG host) noexcept
{
    m_confirmedAt.erase(host);
}

void RouteCacheMap::Clear() noexcept
{
    m_confirmedAt.clear();
    m_sweepAtSize = kMinSweepSize;
}

void RouteCacheMap::SweepStale(DWORD now) noexcept
{
    for (auto entry = m_confirmedAt.begin(); entry != m_confirmedAt.end();)
    {
        entry = IsStale(entry->second, now) ? m_confirmedAt.erase(entry) : std::next(entry);
    }
    size_t doubled = 2 * m_confirmedAt.size();
    m_sweepAtSize = doubled > kMinSweepSize ? doubled : kMinSweepSize;
}

void SetRouteTickSource(RouteTickSource source) noexcept
{
    CurrentTickSource = source != nullptr ? source : SystemTick;
}

bool PrepareRouteForHostNetwork(ULONG host) noexcept
{
    if (IsHostWithoutRoute(host))
    {
        return true;
    }
    const bool canCache = RouteCacheLock.IsInitialized();
    if (canCache)
    {
        auto guard = RouteCacheLock.Lock();
        if (RouteCache.IsFresh(host, CurrentTickSource()))
        {
            return true;
        }
    }

    // Two threads that both find the host missing both ask; the later
    // answer decides the entry.
    const bool isPrepared = SendRouteRequestToRouteServer(host);
    if (canCache)
    {
        auto guard = RouteCacheLock.Lock();
        if (isPrepared)
        {
            (void)RouteCache.Store(host, CurrentTickSource());
        }
        else
        {
            RouteCache.Remove(host);
        }
    }
    return isPrepared;
}

bool PrepareRouteByPeerName(SOCKET s) noexcept
{
    // Through the public Winsock function on purpose (winsock_calls.h):
    // Winsock dispatches it down the application's own provider chain, and
    // our table does not replace its entry, so it reaches the next layer.
    sockaddr_in peer{};
    int cbPeer = sizeof(peer);
    if (GetWinsockCalls().GetPeerName(s, reinterpret_cast<sockaddr*>(&peer), &cbPeer) == SOCKET_ERROR)
    {
        // The application's own call decides what error it sees.
        (void)::WSAGetLastError();
        return false;
    }
    return PrepareRouteForHostNetwork(peer.sin_addr.s_addr);
}
