// The provider's entries in the Winsock catalog, as registration writes them
// and the diagnosis program looks for them: the layered entry, then one chain
// per base provider it rests on, in this order (it matters for the order
// rewrite and for removal). The IPv6 chains carry the dual-stack sockets of
// Vista and later; a catalog without IPv6 entries (Windows 2000, XP without
// IPv6) gets the IPv4 chains alone.
#pragma once

#include <windows.h>

enum BindEntry : int
{
    kBindLayered = 0,
    kBindTcp = 1,
    kBindUdp = 2,
    kBindTcp6 = 3,
    kBindUdp6 = 4,
};
constexpr int kBindProviderCount = 5;

extern const GUID BindProviderGuids[kBindProviderCount];
// "Norvex Bind IP Filter", "Norvex Bind TCP Filter", "Norvex Bind UDP Filter",
// "Norvex Bind TCPv6 Filter", "Norvex Bind UDPv6 Filter".
extern const wchar_t* const BindProviderNames[kBindProviderCount];

// The base provider an entry rests on: its address family and protocol
// (protocol 0 for the layered entry, which rests on none).
struct BindEntryBase
{
    int family;
    int protocol;
};
extern const BindEntryBase BindEntryBases[kBindProviderCount];

// The IPv6 chains are optional: only where the catalog has IPv6 entries.
inline bool IsBindEntryOptional(int which)
{
    return which == kBindTcp6 || which == kBindUdp6;
}
