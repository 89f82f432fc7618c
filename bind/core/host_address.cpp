#include "bind/core/host_address.h"

#include <cstring>

namespace
{

const BYTE kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

} // namespace

bool GetIpv4Host(const sockaddr* address, int cbAddress, int cbIpv4, ULONG* host, bool* isMapped) noexcept
{
    if (address == nullptr || cbAddress < static_cast<int>(sizeof(address->sa_family)))
    {
        return false;
    }
    if (address->sa_family == AF_INET && cbAddress >= cbIpv4)
    {
        *host = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
        *isMapped = false;
        return true;
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (address->sa_family != AF_INET6 || cbAddress < kIpv6AddressField
        || std::memcmp(v6->sin6_addr.s6_addr, kMappedPrefix, sizeof(kMappedPrefix)) != 0)
    {
        return false;
    }
    std::memcpy(host, v6->sin6_addr.s6_addr + 12, sizeof(*host));
    *isMapped = true;
    return true;
}

sockaddr_in6 MappedAddress(ULONG host) noexcept
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    std::memcpy(address.sin6_addr.s6_addr, kMappedPrefix, sizeof(kMappedPrefix));
    std::memcpy(address.sin6_addr.s6_addr + 12, &host, sizeof(host));
    return address;
}
