// The provider's client of the VPN client's route server: one call is one
// pipe connection carrying one request and one reply. Keeps no state and
// takes no lock, so any number of application threads may call it at once.
// It runs inside an application's socket call, so the whole exchange has a
// deadline: a server that is busy, slow or silent (or a process that took
// the pipe name) costs the call at most kRouteExchangeDeadlineMs.
#pragma once

#include <windows.h>

// A local message-type pipe served by the VPN client; the GUID is the one in
// the control block's name.
#define NORVEX_ROUTE_PIPE_NAME L"\\\\.\\pipe\\VpnBindRouteRequest_{05F607A4-6E2F-42e8-AFE0-7F56211E6B88}"

// RouteRequest: one 5-byte message, the command byte and then the host's
// address exactly as it lies in sin_addr (first octet at offset 1).
// RouteReply: one 1-byte message, non-zero when the route is prepared.
constexpr BYTE kRouteCommandPrepare = 1;
constexpr DWORD kRouteRequestBytes = 5;
constexpr DWORD kRouteReplyBytes = 1;
// How long one wait for a free server instance may take.
constexpr DWORD kRoutePipeBusyWaitMs = 1000;
// The whole call ends within this time: the open (with its waits for a free
// instance), the write, the read, and the cancel of an operation the server
// left unanswered, for which the last kRouteCancelGraceMs are kept. Past it
// the exchange counts as unanswered. Long enough for a busy server that
// frees its instances one after the other (the contract allows 1000 ms per
// wait), short enough that a stalled server holds an application's connect
// for a moment, not for good.
constexpr DWORD kRouteExchangeDeadlineMs = 3000;
constexpr DWORD kRouteCancelGraceMs = 250;

enum class RouteAnswer
{
    Prepared,   // a well-formed reply with a non-zero byte
    Refused,    // a reply of 0, no server, or an exchange that failed
    Unanswered, // no instance became free, or no reply, within the time
};

// Asks the route server to prepare a route for host (network byte order).
// Keeps no state: what an unanswered exchange means for the next ones is
// the caller's choice. Changes the thread's last error.
[[nodiscard]] RouteAnswer SendRouteRequestToRouteServer(ULONG host) noexcept;
