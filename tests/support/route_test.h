// What the route tests share: the route server's pipe name, spelled out here
// rather than taken from the provider's header so that a slip in either
// shows, and IPv4 addresses as they lie in sin_addr.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstring>

constexpr wchar_t kRoutePipeName[] =
    L"\\\\.\\pipe\\VpnBindRouteRequest_{05F607A4-6E2F-42e8-AFE0-7F56211E6B88}";

inline ULONG Ipv4(BYTE a, BYTE b, BYTE c, BYTE d)
{
    const BYTE bytes[4] = {a, b, c, d};
    ULONG value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

inline sockaddr_in Ipv4Address(ULONG host, USHORT port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = host;
    return address;
}

// Polls until a server (of another process, say) serves the pipe; false
// after 10 s.
inline bool WaitForRoutePipe()
{
    for (int i = 0; i < 500; ++i)
    {
        if (::WaitNamedPipeW(kRoutePipeName, 0))
        {
            return true;
        }
        ::Sleep(20);
    }
    return false;
}
