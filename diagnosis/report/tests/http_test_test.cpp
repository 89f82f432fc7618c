#include "http_test.h"

#include "tests/support/loopback_http_server.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

// Each test serves its own loopback address, so they may run side by side.

namespace
{

const std::wregex kTotalLine(LR"(    Recv total len = (\d+), tick = (\d+)\r\n)");

// The last line, checked for its form; returns the total it reports.
int TotalOf(const std::wstring& text)
{
    const size_t last = text.rfind(L"    Recv total len = ");
    EXPECT_NE(last, std::wstring::npos);
    std::wsmatch match;
    const std::wstring tail = text.substr(last);
    EXPECT_TRUE(std::regex_match(tail, match, kTotalLine)) << std::string(tail.begin(), tail.end());
    return match.empty() ? -1 : std::stoi(match[1].str());
}

} // namespace

TEST(HttpTest, DottedAddressNeedsNoLookupAndCountsEveryByte)
{
    LoopbackHttpServer server("127.0.0.81", MakeHttpAnswer(50000));
    ASSERT_TRUE(server.IsListening());
    const std::wstring text = TestHttpConnection(L"127.0.0.81", L"127.0.0.99");
    EXPECT_EQ(text.find(L"Test HTTP Connection by 127.0.0.81 with backup IP 127.0.0.99\r\n    Recv total len = 50000, "),
              0u) << std::string(text.begin(), text.end());
    EXPECT_EQ(TotalOf(text), 50000);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET / HTTP/1.1\r\nHost: 127.0.0.81\r\nConnection: close\r\n\r\n");
}

TEST(HttpTest, UnresolvableNameFallsBackToTheBackupAddress)
{
    LoopbackHttpServer server("127.0.0.82", MakeHttpAnswer(700));
    ASSERT_TRUE(server.IsListening());
    // A reserved name: no lookup of it can succeed.
    const std::wstring text = TestHttpConnection(L"no-such-host.norvex.invalid", L"127.0.0.82");
    const std::wregex expected(LR"(Test HTTP Connection by no-such-host\.norvex\.invalid with backup IP 127\.0\.0\.82\r\n)"
                               LR"(    gethostbyname failed\. 110\d\d\r\n)"
                               LR"(    Recv total len = 700, tick = \d+\r\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << std::string(text.begin(), text.end());
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    // The Host header names the host, not the address used.
    EXPECT_EQ(requests[0], "GET / HTTP/1.1\r\nHost: no-such-host.norvex.invalid\r\nConnection: close\r\n\r\n");
}

TEST(HttpTest, RefusedConnectionFailsConnectAndSendWithNothingReceived)
{
    const std::wstring text = TestHttpConnection(L"127.0.0.83", L"127.0.0.83");
    const std::wregex expected(LR"(Test HTTP Connection by 127\.0\.0\.83 with backup IP 127\.0\.0\.83\r\n)"
                               LR"(    connect failed\. 10061\r\n)"
                               LR"(    send failed\. \d+\r\n)"
                               LR"(    Recv total len = 0, tick = \d+\r\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << std::string(text.begin(), text.end());
}

TEST(HttpTest, ResetDuringTheAnswerKeepsThePartialTotal)
{
    LoopbackHttpServer server("127.0.0.84", MakeHttpAnswer(3000), 1, LoopbackHttpServer::Ending::Reset);
    ASSERT_TRUE(server.IsListening());
    const std::wstring text = TestHttpConnection(L"127.0.0.84", L"127.0.0.84");
    const std::wregex expected(LR"(Test HTTP Connection by 127\.0\.0\.84 with backup IP 127\.0\.0\.84\r\n)"
                               LR"(    recv failed\. 10054\r\n)"
                               LR"(    Recv total len = 3000, tick = \d+\r\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << std::string(text.begin(), text.end());
}
