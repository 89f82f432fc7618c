// The VPN client's side of the route request pipe, as the stand-in client
// and the tests run it: a message-type pipe with several instances, open to
// every process, one thread per instance. Each connection carries one
// request; the server answers it as planned and waits for the client to
// close before it serves the next one on that instance.
//
// Win32 threads and locks only: the stand-in is also built with the
// deliverables' compiler, which has no std::thread.
#pragma once

#include "common/win32_handle.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

enum class RouteReplyKind
{
    Byte,     // one byte, RouteReplyPlan::value (1 = yes, 0 = no)
    TwoBytes, // a malformed two-byte reply
    Close,    // disconnect without a reply
    Never,    // keep the connection open without replying, until the client leaves or Stop
    Slow,     // one byte, RouteReplyPlan::value, after RouteReplyPlan::delayMs
};

struct RouteReplyPlan
{
    RouteReplyKind kind = RouteReplyKind::Byte;
    BYTE value = 1;
    DWORD delayMs = 0; // Slow only
};

// Called from an instance's thread for each request, one call at a time,
// before the reply; request points to the message as read (cbRequest bytes).
using RouteRequestCallback = void (*)(void* context, const BYTE* request, DWORD cbRequest);

// Dotted quad of a 5-byte request's host, or an empty string when the
// message is not a well-formed request.
std::string FormatRouteRequestHost(const BYTE* request, DWORD cbRequest);

class RouteServer
{
public:
    RouteServer() noexcept;
    ~RouteServer();
    RouteServer(const RouteServer&) = delete;
    RouteServer& operator=(const RouteServer&) = delete;

    void SetRequestCallback(RouteRequestCallback callback, void* context) noexcept; // before Start

    // Creates every instance before it returns, so a client started
    // afterwards never finds the pipe missing. False (nothing left running)
    // when an instance cannot be created, for instance because another
    // server owns the name.
    [[nodiscard]] bool Start(const wchar_t* pipeName, DWORD instances, RouteReplyPlan plan) noexcept;
    // Closes every instance; clients still waiting for a reply get an error.
    void Stop() noexcept;

    void SetReply(RouteReplyPlan plan) noexcept;
    // While held, each request is read and recorded, and its reply waits
    // for ReleaseReplies (or Stop).
    void HoldReplies() noexcept;
    void ReleaseReplies() noexcept;

    // Requests read so far, raw, in the order they arrived.
    std::vector<std::string> Requests() const;
    size_t RequestCount() const noexcept;
    void ClearRequests() noexcept;
    // Polls until at least count requests arrived; false after timeoutMs.
    bool WaitForRequests(size_t count, DWORD timeoutMs) const noexcept;
    // The impersonation level each client allowed (SECURITY_IMPERSONATION_LEVEL),
    // in request order; -1 where the server could not tell.
    std::vector<int> ImpersonationLevels() const;

private:
    struct Instance;
    static DWORD WINAPI InstanceThread(void* parameter) noexcept;
    void ServeInstance(Instance* instance) noexcept;
    bool ServeOneClient(Instance* instance) noexcept;
    bool IsStopping() const noexcept;
    bool WaitForIo(Instance* instance, BOOL didComplete, DWORD* cbTransferred) noexcept;
    void WaitForClientToLeave(Instance* instance) noexcept;
    void RecordRequest(const BYTE* request, DWORD cbRequest, int impersonationLevel) noexcept;
    RouteReplyPlan GetReply() const noexcept;

    mutable CriticalSection m_lock; // guards m_plan and m_requests
    RouteReplyPlan m_plan;
    std::vector<std::string> m_requests;
    std::vector<int> m_impersonationLevels;
    RouteRequestCallback m_callback = nullptr;
    void* m_callbackContext = nullptr;
    UniqueObject m_stopEvent;
    UniqueObject m_releasedEvent;
    std::vector<std::unique_ptr<Instance>> m_instances;
};
