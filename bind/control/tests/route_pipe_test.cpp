#include "bind/control/route_pipe.h"
#include "tests/support/route_test.h"
#include "tests/support/test_support.h"
#include "tools/vpnclient/route_server.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Sends a request that must fail as expected; prints and returns how long it
// took.
long long TimeFailingRequest(const char* situation, ULONG host, RouteAnswer expected)
{
    auto start = Clock::now();
    EXPECT_EQ(expected, SendRouteRequestToRouteServer(host));
    long long elapsedMs = MillisecondsSince(start);
    std::printf("%s: failed after %lld ms\n", situation, elapsedMs);
    return elapsedMs;
}

// A request sent from its own thread, for the cases where the client blocks.
class PendingRequest
{
public:
    explicit PendingRequest(ULONG host)
        : m_start(Clock::now()), m_thread([this, host] {
              m_result = SendRouteRequestToRouteServer(host);
              m_elapsedMs = MillisecondsSince(m_start);
              m_isDone = true;
          })
    {
    }
    ~PendingRequest()
    {
        if (m_thread.joinable())
        {
            m_thread.join();
        }
    }

    bool IsDone() const { return m_isDone; }
    // Waits for the request to end.
    RouteAnswer Result()
    {
        m_thread.join();
        return m_result;
    }
    long long ElapsedMs() const { return m_elapsedMs; }

private:
    Clock::time_point m_start;
    std::atomic<bool> m_isDone{false};
    RouteAnswer m_result = RouteAnswer::Refused;
    long long m_elapsedMs = 0;
    std::thread m_thread;
};

RouteReplyPlan Reply(RouteReplyKind kind, BYTE value = 1)
{
    RouteReplyPlan plan;
    plan.kind = kind;
    plan.value = value;
    return plan;
}

TEST(RoutePipe, ProviderUsesThePipeNameOfTheContract)
{
    EXPECT_STREQ(kRoutePipeName, NORVEX_ROUTE_PIPE_NAME);
}

TEST(RoutePipe, FailsAtOnceWithoutServer)
{
    EXPECT_LT(TimeFailingRequest("no server", Ipv4(10, 1, 2, 3), RouteAnswer::Refused), 500);
}

TEST(RoutePipe, ResultFollowsTheReply)
{
    static const struct
    {
        const char* name;
        RouteReplyPlan plan;
        RouteAnswer expected;
    } cases[] = {
        {"byte 0", Reply(RouteReplyKind::Byte, 0), RouteAnswer::Refused},
        {"byte 1", Reply(RouteReplyKind::Byte, 1), RouteAnswer::Prepared},
        {"byte 0x7F", Reply(RouteReplyKind::Byte, 0x7F), RouteAnswer::Prepared},
        {"byte 0xFF", Reply(RouteReplyKind::Byte, 0xFF), RouteAnswer::Prepared},
        {"two bytes", Reply(RouteReplyKind::TwoBytes, 1), RouteAnswer::Refused},
        {"closed without reply", Reply(RouteReplyKind::Close), RouteAnswer::Refused},
    };
    RouteServer server;
    ASSERT_TRUE(server.Start(kRoutePipeName, 2, Reply(RouteReplyKind::Byte, 1)));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        server.SetReply(c.plan);
        server.ClearRequests();
        EXPECT_EQ(c.expected, SendRouteRequestToRouteServer(Ipv4(10, 1, 2, 3)));
        EXPECT_EQ(1u, server.RequestCount());
    }
}

TEST(RoutePipe, SendsCommandAndHostAsTheyLieInSinAddr)
{
    static const struct
    {
        ULONG host;
        const char* bytes;
    } cases[] = {
        {Ipv4(10, 1, 2, 3), "\x01\x0A\x01\x02\x03"},
        {Ipv4(192, 0, 2, 255), "\x01\xC0\x00\x02\xFF"},
        {Ipv4(255, 255, 255, 255), "\x01\xFF\xFF\xFF\xFF"},
    };
    RouteServer server;
    ASSERT_TRUE(server.Start(kRoutePipeName, 1, Reply(RouteReplyKind::Byte, 1)));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.host);
        server.ClearRequests();
        EXPECT_EQ(RouteAnswer::Prepared, SendRouteRequestToRouteServer(c.host));
        auto requests = server.Requests();
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ(std::string(c.bytes, 5), requests[0]);
    }
}

// The server's only instance is held by a first request whose reply waits.
class BusyRoutePipe : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start(kRoutePipeName, 1, Reply(RouteReplyKind::Byte, 1)));
        m_server.HoldReplies();
        m_first = std::make_unique<PendingRequest>(Ipv4(10, 0, 0, 1));
        ASSERT_TRUE(m_server.WaitForRequests(1, 5000));
    }

    void TearDown() override
    {
        m_server.ReleaseReplies();
    }

    RouteServer m_server;
    std::unique_ptr<PendingRequest> m_first;
};

TEST_F(BusyRoutePipe, WaitsForAnInstanceThatFreesWithinTheWait)
{
    PendingRequest second(Ipv4(10, 0, 0, 2));
    ::Sleep(300);
    EXPECT_FALSE(second.IsDone());
    m_server.ReleaseReplies();

    EXPECT_EQ(RouteAnswer::Prepared, m_first->Result());
    EXPECT_EQ(RouteAnswer::Prepared, second.Result());
    std::printf("busy instance freed after 300 ms: second request done after %lld ms\n", second.ElapsedMs());
    EXPECT_GE(second.ElapsedMs(), 250);
    EXPECT_LT(second.ElapsedMs(), 1000);
    auto requests = m_server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(std::string("\x01\x0A\x00\x00\x02", 5), requests[1]);
}

TEST_F(BusyRoutePipe, GivesUpWhenNoInstanceFreesWithinTheWait)
{
    long long elapsedMs = TimeFailingRequest("all instances busy", Ipv4(10, 0, 0, 2), RouteAnswer::Unanswered);
    EXPECT_GE(elapsedMs, 900);
    EXPECT_LT(elapsedMs, 3000);

    m_server.ReleaseReplies();
    EXPECT_EQ(RouteAnswer::Prepared, m_first->Result());
    EXPECT_EQ(1u, m_server.RequestCount());
}

// The whole exchange ends within the deadline, whatever the server does; a
// margin covers the machine being slow (an emulator runs the 32-bit tests).
constexpr long long kDeadlineMarginMs = 1500;

TEST(RoutePipe, SilentOrSlowServersCostAtMostTheDeadline)
{
    RouteReplyPlan slowWithinDeadline = Reply(RouteReplyKind::Slow, 1);
    slowWithinDeadline.delayMs = 300;
    RouteReplyPlan slowPastDeadline = Reply(RouteReplyKind::Slow, 1);
    slowPastDeadline.delayMs = kRouteExchangeDeadlineMs + 2000;
    static const struct
    {
        const char* name;
        RouteReplyPlan plan;
        RouteAnswer expected;
        long long minMs;
    } cases[] = {
        {"silent", Reply(RouteReplyKind::Never), RouteAnswer::Unanswered, kRouteExchangeDeadlineMs - 400},
        {"slow, within the deadline", slowWithinDeadline, RouteAnswer::Prepared, 250},
        {"slow, past the deadline", slowPastDeadline, RouteAnswer::Unanswered, kRouteExchangeDeadlineMs - 400},
    };
    RouteServer server;
    ASSERT_TRUE(server.Start(kRoutePipeName, 2, Reply(RouteReplyKind::Byte, 1)));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        server.SetReply(c.plan);
        const auto start = Clock::now();
        EXPECT_EQ(c.expected, SendRouteRequestToRouteServer(Ipv4(10, 0, 0, 1)));
        const long long elapsedMs = MillisecondsSince(start);
        std::printf("%s: answer %d after %lld ms\n", c.name, static_cast<int>(c.expected), elapsedMs);
        EXPECT_GE(elapsedMs, c.minMs);
        EXPECT_LT(elapsedMs, kRouteExchangeDeadlineMs + kDeadlineMarginMs);
    }
    // The instances that waited for us are free again.
    server.SetReply(Reply(RouteReplyKind::Byte, 1));
    EXPECT_EQ(RouteAnswer::Prepared, SendRouteRequestToRouteServer(Ipv4(10, 0, 0, 2)));
}

// Any local process can create the pipe name before the VPN client does.
TEST(RoutePipe, AProcessHoldingTheNameCostsAtMostTheDeadline)
{
    const std::wstring eventName = L"NorvexRouteSquatterStop-" + std::to_wstring(::GetCurrentProcessId());
    HeldChild squatter(GetTestBinFolder() + L"vpnclient.exe", L"serve-routes --instances 1 --reply never", eventName);
    ASSERT_TRUE(squatter.IsStarted());
    ASSERT_TRUE(WaitForRoutePipe());
    // The server is another process here: every handle counted is the client's.
    const DWORD handlesBefore = CountOwnHandles();
    for (int i = 0; i < 2; ++i)
    {
        const auto start = Clock::now();
        EXPECT_EQ(RouteAnswer::Unanswered, SendRouteRequestToRouteServer(Ipv4(10, 0, 0, 1)));
        const long long elapsedMs = MillisecondsSince(start);
        std::printf("request %d to a process that never answers: unanswered after %lld ms\n", i + 1, elapsedMs);
        EXPECT_LT(elapsedMs, kRouteExchangeDeadlineMs + kDeadlineMarginMs);
    }
    EXPECT_LE(CountOwnHandles(), handlesBefore) << "the abandoned exchanges closed their pipe";
    DWORD exitCode = 1;
    EXPECT_TRUE(squatter.Release(30000, &exitCode)) << "the squatter ends when asked";
    EXPECT_EQ(0u, exitCode);
}

// A server may learn who asks, but never act as the asking application.
TEST(RoutePipe, ServerCanIdentifyButNotImpersonateTheClient)
{
    RouteServer server;
    ASSERT_TRUE(server.Start(kRoutePipeName, 1, Reply(RouteReplyKind::Byte, 1)));
    EXPECT_EQ(RouteAnswer::Prepared, SendRouteRequestToRouteServer(Ipv4(10, 0, 0, 1)));
    const std::vector<int> levels = server.ImpersonationLevels();
    ASSERT_EQ(1u, levels.size());
    if (levels[0] == SecurityImpersonation)
    {
        GTEST_SKIP() << "Wine gives the server an impersonation token whatever the client allows";
    }
    EXPECT_EQ(static_cast<int>(SecurityIdentification), levels[0]);
}

TEST(RouteServer, PipeIsOpenToEveryProcess)
{
    RouteServer server;
    ASSERT_TRUE(server.Start(kRoutePipeName, 1, Reply(RouteReplyKind::Byte, 1)));
    UniqueFile pipe(::CreateFileW(kRoutePipeName, READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(pipe.IsValid()) << ::GetLastError();
    PACL dacl = reinterpret_cast<PACL>(1);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = ::GetSecurityInfo(pipe.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &descriptor);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error);
    UniqueLocal<void> owner(descriptor);
    BOOL isPresent = FALSE;
    BOOL isDefaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &isPresent, &dacl, &isDefaulted));
    EXPECT_TRUE(isPresent);
    EXPECT_EQ(nullptr, dacl);
}

TEST(RouteServer, SecondServerCannotTakeTheName)
{
    RouteServer first;
    RouteServer second;
    ASSERT_TRUE(first.Start(kRoutePipeName, 2, Reply(RouteReplyKind::Byte, 1)));
    EXPECT_FALSE(second.Start(kRoutePipeName, 2, Reply(RouteReplyKind::Byte, 0)));
    EXPECT_EQ(RouteAnswer::Prepared, SendRouteRequestToRouteServer(Ipv4(10, 0, 0, 1)));
}

// The stand-in VPN client serves the pipe from its own process and logs
// each host it was asked for.
TEST(VpnClientRouteServer, AnswersAndLogsEachRequest)
{
    static const struct
    {
        const wchar_t* reply;
        bool expected;
    } cases[] = {
        {L"yes", true},
        {L"no", false},
        {L"0x7F", true},
        {L"two-bytes", false},
        {L"close", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.reply);
        wchar_t eventName[64];
        std::swprintf(eventName, 64, L"NorvexRouteTestStop-%lu", ::GetCurrentProcessId());
        std::wstring commandLine = L"\"" + GetTestBinFolder() + L"vpnclient.exe\" serve-routes --instances 2 --reply "
                                   + c.reply + L" --until-event " + eventName;
        ChildResult child;
        std::thread runner([&] { child = RunChild(commandLine, 20000); });

        EXPECT_TRUE(WaitForRoutePipe());
        EXPECT_EQ(c.expected, SendRouteRequestToRouteServer(Ipv4(10, 1, 2, 3)) == RouteAnswer::Prepared);
        EXPECT_EQ(c.expected, SendRouteRequestToRouteServer(Ipv4(192, 0, 2, 1)) == RouteAnswer::Prepared);

        // The event exists from the child's start on; retry until it does.
        for (int i = 0; i < 100; ++i)
        {
            UniqueObject stop(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName));
            if (stop)
            {
                ::SetEvent(stop.Get());
                break;
            }
            ::Sleep(20);
        }
        runner.join();
        child.output.erase(std::remove(child.output.begin(), child.output.end(), '\r'), child.output.end());
        EXPECT_TRUE(child.didFinish);
        EXPECT_EQ(0u, child.exitCode);
        EXPECT_NE(std::string::npos, child.output.find("route request: 10.1.2.3\n")) << child.output;
        EXPECT_NE(std::string::npos, child.output.find("route request: 192.0.2.1\n")) << child.output;
    }
}

} // namespace
