#include "bind/core/route_cache.h"

#include "bind/control/provider_state.h"
#include "bind/control/route_pipe.h"
#include "bind/core/host_address.h"
#include "bind/core/winsock_calls.h"
#include "common/process_wide.h"

#include <iterator>

namespace
{
ProcessWide<RouteCacheMap> RouteCacheStorage;
} // namespace

RouteCacheMap& RouteCache = RouteCacheStorage.Get();
RouteServerBackoff RouteBackoff;

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

size_t RouteCacheMap::SlotOf(ULONG host) noexcept
{
    // Fibonacci hashing: the high bits of the product mix all of the
    // address, whichever of its bytes vary.
    return static_cast<std::uint32_t>(host * 2654435761u) >> 24;
}

bool RouteCacheMap::IsFreshWithoutLock(ULONG host, DWORD now) const noexcept
{
    static_assert(kFrontSlots == 256, "SlotOf keeps 8 bits");
    const FrontSlot& slot = m_front[SlotOf(host)];
    const std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
    if ((before & 1) != 0)
    {
        return false;
    }
    const std::uint32_t storedHost = slot.host.load(std::memory_order_relaxed);
    const std::uint32_t confirmedAt = slot.confirmedAt.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.sequence.load(std::memory_order_relaxed) != before)
    {
        return false;
    }
    return storedHost == host && host != 0 && !IsStale(confirmedAt, now);
}

// Only under the lock, so writers never meet: the sequence is odd while
// the two fields change, and moves on by two with every write.
void RouteCacheMap::WriteSlot(FrontSlot& slot, ULONG host, DWORD confirmedAt) noexcept
{
    const std::uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.host.store(host, std::memory_order_relaxed);
    slot.confirmedAt.store(confirmedAt, std::memory_order_relaxed);
    slot.sequence.store(sequence + 2, std::memory_order_release);
}

void RouteCacheMap::Publish(ULONG host, DWORD confirmedAt) noexcept
{
    WriteSlot(m_front[SlotOf(host)], host, confirmedAt);
}

void RouteCacheMap::Unpublish(ULONG host) noexcept
{
    FrontSlot& slot = m_front[SlotOf(host)];
    if (slot.host.load(std::memory_order_relaxed) == host)
    {
        WriteSlot(slot, 0, 0);
    }
}

bool RouteCacheMap::IsFresh(ULONG host, DWORD now) noexcept
{
    auto entry = m_confirmedAt.find(host);
    if (entry == m_confirmedAt.end() || IsStale(entry->second, now))
    {
        return false;
    }
    Publish(host, entry->second);
    return true;
}

bool RouteCacheMap::Store(ULONG host, DWORD now) noexcept
{
    try
    {
        auto inserted = m_confirmedAt.insert({host, now});
        if (!inserted.second)
        {
            inserted.first->second = now;
            Publish(host, now);
            return true;
        }
    }
    catch (...)
    {
        return false;
    }
    Publish(host, now);
    if (m_confirmedAt.size() >= m_sweepAtSize)
    {
        SweepStale(now);
    }
    return true;
}

void RouteCacheMap::Remove(ULONG host) noexcept
{
    m_confirmedAt.erase(host);
    Unpublish(host);
}

void RouteCacheMap::Clear() noexcept
{
    m_confirmedAt.clear();
    m_sweepAtSize = kMinSweepSize;
    for (FrontSlot& slot : m_front)
    {
        WriteSlot(slot, 0, 0);
    }
}

void RouteCacheMap::SweepStale(DWORD now) noexcept
{
    for (auto entry = m_confirmedAt.begin(); entry != m_confirmedAt.end();)
    {
        entry = IsStale(entry->second, now) ? m_confirmedAt.erase(entry) : std::next(entry);
    }
    size_t doubled = 2 * m_confirmedAt.size();
    m_sweepAtSize = doubled > kMinSweepSize ? doubled : kMinSweepSize;
    // The front table forgets what the map forgot: a confirmation 49.7 days
    // old would look fresh again once the tick counter has wrapped.
    for (FrontSlot& slot : m_front)
    {
        const std::uint32_t host = slot.host.load(std::memory_order_relaxed);
        if (host != 0 && m_confirmedAt.count(host) == 0)
        {
            Unpublish(host);
        }
    }
}

bool RouteServerBackoff::IsActive(DWORD now) const noexcept
{
    const DWORD since = static_cast<DWORD>(m_since);
    return since != 0 && now - (since & ~1u) < kRouteServerBackoffMs;
}

void RouteServerBackoff::Begin(DWORD now) noexcept
{
    ::InterlockedExchange(&m_since, static_cast<LONG>(now | 1u));
}

void RouteServerBackoff::End() noexcept
{
    if (m_since != 0)
    {
        ::InterlockedExchange(&m_since, 0);
    }
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
    // Only the lock's holders write the front table, so without the lock
    // it stays empty and this finds nothing.
    if (RouteCache.IsFreshWithoutLock(host, CurrentTickSource()))
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

    if (RouteBackoff.IsActive(CurrentTickSource()))
    {
        return false;
    }
    // Two threads that both find the host missing both ask; the later
    // answer decides the entry.
    const RouteAnswer answer = SendRouteRequestToRouteServer(host);
    if (answer == RouteAnswer::Unanswered)
    {
        RouteBackoff.Begin(CurrentTickSource());
    }
    else
    {
        RouteBackoff.End();
    }
    const bool isPrepared = answer == RouteAnswer::Prepared;
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
    // Room for an IPv6 peer: a dual-stack socket's IPv4 peer is mapped.
    sockaddr_storage peer{};
    int cbPeer = sizeof(peer);
    if (GetWinsockCalls().GetPeerName(s, reinterpret_cast<sockaddr*>(&peer), &cbPeer) == SOCKET_ERROR)
    {
        // The application's own call decides what error it sees.
        (void)::WSAGetLastError();
        return false;
    }
    ULONG host = 0;
    bool isMapped = false;
    if (!GetIpv4Host(reinterpret_cast<const sockaddr*>(&peer), cbPeer, kIpv4AddressField, &host, &isMapped))
    {
        return false;
    }
    return PrepareRouteForHostNetwork(host);
}
