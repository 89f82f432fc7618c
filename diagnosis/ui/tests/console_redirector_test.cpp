#include "console_redirector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

// A message-only window on the test thread stands in for the dialog.
class NotifyTarget : public CWnd
{
public:
    NotifyTarget()
    {
        m_hWnd = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   nullptr, nullptr);
    }
    ~NotifyTarget() override { ::DestroyWindow(m_hWnd); }

    // Collects the wParam of every notification until the "finished" one.
    std::vector<WPARAM> PumpUntilFinished(DWORD timeoutMs = 30000)
    {
        std::vector<WPARAM> seen;
        const DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < timeoutMs)
        {
            MSG msg;
            while (::PeekMessageW(&msg, m_hWnd, WM_REDIRECTOR_NOTIFY, WM_REDIRECTOR_NOTIFY, PM_REMOVE))
            {
                seen.push_back(msg.wParam);
                if (msg.wParam == 1)
                {
                    return seen;
                }
            }
            ::Sleep(10);
        }
        ADD_FAILURE() << "no end notification";
        return seen;
    }
};

size_t CountOf(const std::vector<WPARAM>& seen, WPARAM value)
{
    size_t count = 0;
    for (WPARAM w : seen)
    {
        count += (w == value);
    }
    return count;
}

struct Redirected
{
    std::string output;
    std::vector<WPARAM> seen;
};

Redirected RunCommand(const wchar_t* commandLine)
{
    NotifyTarget target;
    CConsoleRedirectorDiagnosis redirector;
    redirector.m_pDialog = &target;
    Redirected result;
    EXPECT_TRUE(redirector.Open(commandLine));
    result.seen = target.PumpUntilFinished();
    result.output = redirector.TakeOutput();
    EXPECT_EQ(redirector.m_hChildProcess, nullptr);
    EXPECT_EQ(redirector.m_hThread, nullptr);
    return result;
}

std::wstring WriteTempFile(const std::string& contents)
{
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    ::GetTempFileNameW(folder, L"rdr", 0, path);
    HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    ::CloseHandle(file);
    return path;
}

TEST(ConsoleRedirector, ShortOutputArrivesThenOneEndNotice)
{
    const Redirected run = RunCommand(L"cmd /c echo hello");
    EXPECT_EQ(run.output, "hello\r\n");
    EXPECT_GE(CountOf(run.seen, 0), 1u);
    EXPECT_EQ(CountOf(run.seen, 1), 1u);
}

TEST(ConsoleRedirector, CommandWithoutOutputPostsOnlyTheEnd)
{
    const Redirected run = RunCommand(L"cmd /c rem");
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.seen, std::vector<WPARAM>{ 1 });
}

TEST(ConsoleRedirector, OutputLargerThanOneReadArrivesWholeAndInOrder)
{
    std::string contents;
    for (int i = 0; contents.size() < 5 * 4096 + 123; ++i)
    {
        contents += "line " + std::to_string(i) + "\r\n";
    }
    const std::wstring path = WriteTempFile(contents);
    const Redirected run = RunCommand((L"cmd /c type \"" + path + L"\"").c_str());
    ::DeleteFileW(path.c_str());
    EXPECT_EQ(run.output, contents);
    // Each read takes at most 4096 bytes and each one is announced.
    EXPECT_GE(CountOf(run.seen, 0), contents.size() / 4096);
}

TEST(ConsoleRedirector, StandardErrorSharesTheStream)
{
    const Redirected run = RunCommand(L"cmd /c echo first& echo second 1>&2& echo third");
    EXPECT_EQ(run.output, "first\r\nsecond \r\nthird\r\n");
}

TEST(ConsoleRedirector, MissingProgramFailsAndPostsNothing)
{
    NotifyTarget target;
    CConsoleRedirectorDiagnosis redirector;
    redirector.m_pDialog = &target;
    EXPECT_FALSE(redirector.Open(L"no_such_program_here.exe"));
    EXPECT_EQ(redirector.m_hChildProcess, nullptr);
    EXPECT_EQ(redirector.m_hThread, nullptr);
    EXPECT_EQ(redirector.m_hStdoutRead, nullptr);
    EXPECT_EQ(redirector.m_hStdinWrite, nullptr);
    ::Sleep(200);
    MSG msg;
    EXPECT_FALSE(::PeekMessageW(&msg, target.m_hWnd, WM_REDIRECTOR_NOTIFY, WM_REDIRECTOR_NOTIFY,
                                PM_REMOVE));
}

// Without a window: the whole output of a command that ends, nothing of one
// that cannot start, and a command that would wait for ever ended on time.
TEST(ConsoleRedirector, RunForOutputWaitsABoundedTime)
{
    bool didFinish = false;
    EXPECT_EQ("first\r\nsecond\r\n", RunCommandForOutput(L"cmd /c echo first& echo second", 20000, &didFinish));
    EXPECT_TRUE(didFinish);

    EXPECT_EQ("", RunCommandForOutput(L"no_such_program_here.exe", 20000, &didFinish));
    EXPECT_FALSE(didFinish);

    const DWORD started = ::GetTickCount();
    RunCommandForOutput(L"cmd /c pause", 500, &didFinish); // waits for a key on its own input
    EXPECT_FALSE(didFinish);
    EXPECT_GT(10000u, ::GetTickCount() - started);
}

TEST(ConsoleRedirector, DestroyingWhileRunningEndsChildAndReader)
{
    NotifyTarget target;
    auto* redirector = new CConsoleRedirectorDiagnosis;
    redirector->m_pDialog = &target;
    // "pause" waits for input that never comes: the child would run forever.
    ASSERT_TRUE(redirector->Open(L"cmd /c pause"));
    HANDLE self = ::GetCurrentProcess();
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    ASSERT_TRUE(::DuplicateHandle(self, redirector->m_hChildProcess, self, &process, SYNCHRONIZE,
                                  FALSE, 0));
    ASSERT_TRUE(::DuplicateHandle(self, redirector->m_hThread, self, &thread, SYNCHRONIZE, FALSE, 0));
    ::Sleep(300);
    EXPECT_EQ(::WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    delete redirector;
    EXPECT_EQ(::WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(::WaitForSingleObject(process, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    ::CloseHandle(thread);
    ::CloseHandle(process);
}

} // namespace

namespace
{

// Holds the reader inside its end notice so the owner can be destroyed then.
class SlowEndRedirector : public CConsoleRedirector
{
public:
    SlowEndRedirector(HANDLE entered, volatile LONG* finished) : m_entered(entered), m_finished(finished) {}

protected:
    void OnChildTerminated() override
    {
        HANDLE entered = m_entered;
        volatile LONG* finished = m_finished;
        ::SetEvent(entered);
        ::Sleep(300);
        ::InterlockedExchange(finished, 1);
    }

private:
    HANDLE m_entered;
    volatile LONG* m_finished;
};

TEST(ConsoleRedirector, DestroyingAfterTheChildEndedWaitsForTheEndNotice)
{
    HANDLE entered = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile LONG finished = 0;
    auto* redirector = new SlowEndRedirector(entered, &finished);
    ASSERT_TRUE(redirector->Open(L"cmd /c rem"));
    ASSERT_EQ(::WaitForSingleObject(entered, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    delete redirector;
    EXPECT_EQ(finished, 1);
    ::CloseHandle(entered);
}

// Commands back to back, as the report run starts them: the run opens the
// next one as soon as the previous one looks ended. The reader of the old
// command is held up right after it marked its command ended; by then it
// must have let go of everything, or it closes the new command's pipe (the
// next section comes out empty) or clears its thread id (and the next close
// waits on itself for good).
TEST(ConsoleRedirector, CommandsBackToBackKeepTheirOwnOutput)
{
    g_pfnAfterCommandEnded = [] { ::Sleep(20); };
    CConsoleRedirectorDiagnosis redirector;
    std::vector<std::string> missing;
    for (int i = 0; i < 30; ++i)
    {
        const std::wstring command = L"cmd /c echo line " + std::to_wstring(i);
        ASSERT_TRUE(redirector.Open(command.c_str())) << i;
        const DWORD start = ::GetTickCount();
        while (redirector.m_hChildProcess != nullptr && ::GetTickCount() - start < 10000)
        {
            ::Sleep(1);
        }
        ASSERT_EQ(nullptr, redirector.m_hChildProcess) << "command " << i << " never ended";
        const std::string output = redirector.TakeOutput();
        if (output.find("line " + std::to_string(i)) == std::string::npos)
        {
            missing.push_back(std::to_string(i) + ": \"" + output + "\"");
        }
    }
    g_pfnAfterCommandEnded = nullptr;
    EXPECT_TRUE(missing.empty()) << missing.size() << " commands lost their output, first " << missing.front();
}

} // namespace
