// Whether the machine can resolve a name, connect to port 80 and fetch a
// page, and how long that takes.
#pragma once

#include <string>

struct HttpTarget
{
    const wchar_t* host;     // host name, or a dotted IPv4 address
    const wchar_t* backupIp; // dotted IPv4 address used when host does not resolve
};

// Build-time settings: the deliverable tests a well-known public site and the
// vendor's own site; the test flavour points both at loopback.
extern const HttpTarget kPublicWebSite;
extern const HttpTarget kVendorWebSite;

// Lines ending in "\r\n": the target, the name lookup, every failure with its
// Winsock error, then the bytes received and the milliseconds it all took.
// Blocking sockets, no time-outs of its own.
std::wstring TestHttpConnection(const wchar_t* host, const wchar_t* backupIp);
