// The IPv4 host behind an address a program hands to the provider: an AF_INET
// address, or an AF_INET6 one that is IPv4-mapped (::ffff:a.b.c.d), the form
// in which dual-stack sockets reach IPv4 hosts. Native IPv6 addresses name no
// such host: the VPN carries IPv4 only, so they pass untouched.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>

// What an AF_INET address's length must cover: the whole sockaddr_in for a
// destination, only up to sin_addr for a source the next layer wrote.
constexpr int kWholeIpv4Address = sizeof(sockaddr_in);
constexpr int kIpv4AddressField = offsetof(sockaddr_in, sin_addr) + sizeof(in_addr);
// An AF_INET6 address needs its sin6_addr (the 24 bytes of the oldest form).
constexpr int kIpv6AddressField = offsetof(sockaddr_in6, sin6_addr) + sizeof(in6_addr);
// Where the IPv4 host lies in a mapped sockaddr_in6.
constexpr int kMappedHostOffset = offsetof(sockaddr_in6, sin6_addr) + 12;

// True, with the host (network byte order) in *host, when cbAddress bytes
// at address hold an IPv4 address (at least cbIpv4 of them) or an
// IPv4-mapped IPv6 one. *isMapped says which.
bool GetIpv4Host(const sockaddr* address, int cbAddress, int cbIpv4, ULONG* host, bool* isMapped) noexcept;

// ::ffff:host, port 0.
sockaddr_in6 MappedAddress(ULONG host) noexcept;
