// The three public Winsock functions the provider calls on an application's
// socket. Winsock dispatches them down the application's own provider chain:
// the forced bind comes back into our WSPBind, the two name queries reach the
// next layer (their entries are not replaced). Behind one table so tests can
// play Winsock's dispatch; Wine's Winsock does not load providers.
#pragma once

#include <winsock2.h>

struct WinsockCalls
{
    int(WSAAPI* GetSockName)(SOCKET s, sockaddr* name, int* namelen);
    int(WSAAPI* Bind)(SOCKET s, const sockaddr* name, int namelen);
    int(WSAAPI* GetPeerName)(SOCKET s, sockaddr* name, int* namelen);
};

const WinsockCalls& GetWinsockCalls() noexcept;

// Tests only: null restores Winsock's own functions.
void SetWinsockCalls(const WinsockCalls* calls) noexcept;
