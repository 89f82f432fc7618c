#include "tools/vpnclient/route_server.h"

#include <sddl.h>

#include <cstdio>

namespace
{

constexpr DWORD kRequestBufferBytes = 64;
constexpr DWORD kPipeBufferBytes = 64;

// Every process, whatever its account or integrity level, may open the pipe
// for reading and writing: a present but null DACL, and a low mandatory
// label where the system knows labels (older systems reject the label; the
// DACL alone then). Lives as long as the object, around the create calls.
class OpenToEveryProcess
{
public:
    OpenToEveryProcess() noexcept
    {
        m_attributes.nLength = sizeof(m_attributes);
        if (!::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION)
            || !::SetSecurityDescriptorDacl(&m_descriptor, TRUE, nullptr, FALSE))
        {
            return;
        }
        PSECURITY_DESCRIPTOR label = nullptr;
        BOOL isPresent = FALSE;
        BOOL isDefaulted = FALSE;
        PACL sacl = nullptr;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &label,
                                                                   nullptr))
        {
            m_label.reset(label);
            if (::GetSecurityDescriptorSacl(label, &isPresent, &sacl, &isDefaulted) && isPresent)
            {
                ::SetSecurityDescriptorSacl(&m_descriptor, TRUE, sacl, FALSE);
            }
        }
        m_attributes.lpSecurityDescriptor = &m_descriptor;
    }
    OpenToEveryProcess(const OpenToEveryProcess&) = delete;
    OpenToEveryProcess& operator=(const OpenToEveryProcess&) = delete;

    bool IsValid() const noexcept { return m_attributes.lpSecurityDescriptor != nullptr; }
    SECURITY_ATTRIBUTES* Get() noexcept { return &m_attributes; }

private:
    SECURITY_DESCRIPTOR m_descriptor{};
    UniqueLocal<void> m_label; // owns the SACL that m_descriptor points to
    SECURITY_ATTRIBUTES m_attributes{};
};

// What the client let the server do with its identity: the level of the
// token the server gets when it impersonates the client, or -1.
int ClientImpersonationLevel(HANDLE pipe) noexcept
{
    if (!::ImpersonateNamedPipeClient(pipe))
    {
        return -1;
    }
    int level = -1;
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
    {
        SECURITY_IMPERSONATION_LEVEL value;
        DWORD cb = 0;
        if (::GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof(value), &cb))
        {
            level = static_cast<int>(value);
        }
        ::CloseHandle(token);
    }
    ::RevertToSelf();
    return level;
}

} // namespace

std::string FormatRouteRequestHost(const BYTE* request, DWORD cbRequest)
{
    if (cbRequest != 5 || request[0] != 1)
    {
        return std::string();
    }
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", request[1], request[2], request[3], request[4]);
    return text;
}

struct RouteServer::Instance
{
    RouteServer* server = nullptr;
    UniqueFile pipe;
    UniqueObject ioEvent;
    UniqueObject thread;
    OVERLAPPED overlapped{};
};

RouteServer::RouteServer() noexcept
{
    (void)m_lock.Initialize();
}

RouteServer::~RouteServer()
{
    Stop();
    m_lock.Delete();
}

void RouteServer::SetRequestCallback(RouteRequestCallback callback, void* context) noexcept
{
    m_callback = callback;
    m_callbackContext = context;
}

bool RouteServer::Start(const wchar_t* pipeName, DWORD instances, RouteReplyPlan plan) noexcept
{
    Stop();
    if (!m_lock.IsInitialized() || instances == 0 || instances > PIPE_UNLIMITED_INSTANCES)
    {
        return false;
    }
    SetReply(plan);
    m_stopEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_releasedEvent.Reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    OpenToEveryProcess security;
    if (!m_stopEvent || !m_releasedEvent || !security.IsValid())
    {
        return false;
    }

    try
    {
        for (DWORD i = 0; i < instances; ++i)
        {
            auto instance = std::make_unique<Instance>();
            instance->server = this;
            // The first instance claims the name: a second server (a test's
            // leftover, another stand-in) fails here instead of sharing it.
            DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
            instance->pipe.Reset(::CreateNamedPipeW(pipeName, openMode,
                                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances,
                                                    kPipeBufferBytes, kPipeBufferBytes, 0, security.Get()));
            instance->ioEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!instance->pipe || !instance->ioEvent)
            {
                Stop();
                return false;
            }
            instance->overlapped.hEvent = instance->ioEvent.Get();
            m_instances.push_back(std::move(instance));
        }
    }
    catch (...)
    {
        Stop();
        return false;
    }
    for (auto& instance : m_instances)
    {
        instance->thread.Reset(::CreateThread(nullptr, 0, InstanceThread, instance.get(), 0, nullptr));
        if (!instance->thread)
        {
            Stop();
            return false;
        }
    }
    return true;
}

void RouteServer::Stop() noexcept
{
    if (m_stopEvent)
    {
        ::SetEvent(m_stopEvent.Get());
    }
    for (auto& instance : m_instances)
    {
        if (instance->thread)
        {
            ::WaitForSingleObject(instance->thread.Get(), INFINITE);
        }
    }
    m_instances.clear();
    m_stopEvent.Reset();
    m_releasedEvent.Reset();
}

void RouteServer::SetReply(RouteReplyPlan plan) noexcept
{
    auto guard = m_lock.Lock();
    m_plan = plan;
}

RouteReplyPlan RouteServer::GetReply() const noexcept
{
    auto guard = m_lock.Lock();
    return m_plan;
}

void RouteServer::HoldReplies() noexcept
{
    ::ResetEvent(m_releasedEvent.Get());
}

void RouteServer::ReleaseReplies() noexcept
{
    ::SetEvent(m_releasedEvent.Get());
}

std::vector<std::string> RouteServer::Requests() const
{
    auto guard = m_lock.Lock();
    return m_requests;
}

size_t RouteServer::RequestCount() const noexcept
{
    auto guard = m_lock.Lock();
    return m_requests.size();
}

void RouteServer::ClearRequests() noexcept
{
    auto guard = m_lock.Lock();
    m_requests.clear();
    m_impersonationLevels.clear();
}

std::vector<int> RouteServer::ImpersonationLevels() const
{
    auto guard = m_lock.Lock();
    return m_impersonationLevels;
}

bool RouteServer::WaitForRequests(size_t count, DWORD timeoutMs) const noexcept
{
    DWORD start = ::GetTickCount();
    while (RequestCount() < count)
    {
        if (::GetTickCount() - start > timeoutMs)
        {
            return false;
        }
        ::Sleep(1);
    }
    return true;
}

void RouteServer::RecordRequest(const BYTE* request, DWORD cbRequest, int impersonationLevel) noexcept
{
    auto guard = m_lock.Lock();
    try
    {
        m_requests.emplace_back(reinterpret_cast<const char*>(request), cbRequest);
        m_impersonationLevels.push_back(impersonationLevel);
    }
    catch (...)
    {
        // A request that cannot be recorded is still answered.
    }
    if (m_callback != nullptr)
    {
        m_callback(m_callbackContext, request, cbRequest);
    }
}

DWORD WINAPI RouteServer::InstanceThread(void* parameter) noexcept
{
    auto* instance = static_cast<Instance*>(parameter);
    instance->server->ServeInstance(instance);
    return 0;
}

void RouteServer::ServeInstance(Instance* instance) noexcept
{
    while (ServeOneClient(instance) && !IsStopping())
    {
        ::DisconnectNamedPipe(instance->pipe.Get());
    }
}

bool RouteServer::IsStopping() const noexcept
{
    return ::WaitForSingleObject(m_stopEvent.Get(), 0) == WAIT_OBJECT_0;
}

// Completes one overlapped operation, or cancels it when the server stops,
// so that no operation is pending on the instance's OVERLAPPED once this
// returns. False on stop or on an I/O error, ERROR_MORE_DATA included: a
// message longer than any request is as bad as none.
bool RouteServer::WaitForIo(Instance* instance, BOOL didComplete, DWORD* cbTransferred) noexcept
{
    if (!didComplete && ::GetLastError() != ERROR_IO_PENDING)
    {
        return false;
    }
    HANDLE pipe = instance->pipe.Get();
    HANDLE events[2] = {instance->ioEvent.Get(), m_stopEvent.Get()};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
    {
        ::CancelIo(pipe);
        ::GetOverlappedResult(pipe, &instance->overlapped, cbTransferred, TRUE);
        return false;
    }
    return ::GetOverlappedResult(pipe, &instance->overlapped, cbTransferred, FALSE) != FALSE;
}

// One connection: connect, read the request, reply as planned, wait for the
// client to leave. False only when the instance cannot go on serving.
bool RouteServer::ServeOneClient(Instance* instance) noexcept
{
    HANDLE pipe = instance->pipe.Get();
    DWORD cb = 0;
    if (!::ConnectNamedPipe(pipe, &instance->overlapped))
    {
        DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING)
        {
            if (!WaitForIo(instance, FALSE, &cb))
            {
                return true;
            }
        }
        else if (error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA)
        {
            return false;
        }
    }

    BYTE request[kRequestBufferBytes];
    DWORD cbRequest = 0;
    BOOL didRead = ::ReadFile(pipe, request, sizeof(request), &cbRequest, &instance->overlapped);
    if (!WaitForIo(instance, didRead, &cbRequest))
    {
        return true; // the client left without a well-sized request
    }
    RecordRequest(request, cbRequest, ClientImpersonationLevel(pipe));

    HANDLE gate[2] = {m_releasedEvent.Get(), m_stopEvent.Get()};
    if (::WaitForMultipleObjects(2, gate, FALSE, INFINITE) != WAIT_OBJECT_0)
    {
        return true;
    }
    RouteReplyPlan plan = GetReply();
    if (FormatRouteRequestHost(request, cbRequest).empty() || plan.kind == RouteReplyKind::Close)
    {
        return true;
    }
    if (plan.kind == RouteReplyKind::Never)
    {
        WaitForClientToLeave(instance);
        return true;
    }
    if (plan.kind == RouteReplyKind::Slow && ::WaitForSingleObject(m_stopEvent.Get(), plan.delayMs) == WAIT_OBJECT_0)
    {
        return true;
    }
    BYTE reply[2] = {plan.value, plan.value};
    DWORD cbReply = plan.kind == RouteReplyKind::TwoBytes ? 2 : 1;
    BOOL didWrite = ::WriteFile(pipe, reply, cbReply, &cb, &instance->overlapped);
    if (!WaitForIo(instance, didWrite, &cb))
    {
        return true;
    }
    // Disconnecting discards what the client has not read yet: wait until it
    // closes its end.
    WaitForClientToLeave(instance);
    return true;
}

// A read on the instance ends with a broken pipe once the client has closed
// its end (or at Stop).
void RouteServer::WaitForClientToLeave(Instance* instance) noexcept
{
    BYTE ignored[kRequestBufferBytes];
    DWORD cb = 0;
    BOOL didDrain = ::ReadFile(instance->pipe.Get(), ignored, sizeof(ignored), &cb, &instance->overlapped);
    (void)WaitForIo(instance, didDrain, &cb);
}
