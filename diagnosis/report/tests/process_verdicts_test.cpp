// The verdict on each process: the rules one by one, then real processes of
// this machine, listed and not, with and without the provider loaded,
// created before and after the binding started.
#include "process_verdicts.h"

#include "bind/control/vpn_bind_api.h"
#include "common/ini_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <thread>

namespace
{

using Answer = ProcessFacts::Answer;

TEST(ProcessVerdicts, EachFactDecides)
{
    const BindingState started{true, 1000, 0};
    const BindingState stopped{true, 0, 0};
    const BindingState unknown{};
    const wchar_t* otherBitness = sizeof(void*) == 4
                                      ? L"listed, but a 64-bit program: the 32-bit NorvexBind.dll does not cover it"
                                      : L"listed, but a 32-bit program: the 64-bit NorvexBind.dll does not cover it";
    static const struct
    {
        const char* name;
        bool isPathFull;
        const wchar_t* bindType;
        ULONGLONG createTime;
        Answer isOtherBitness;
        Answer isLoaded;
        int binding; // 0 started, 1 stopped, 2 unknown
        const wchar_t* verdict;
    } cases[] = {
        {"intercepted", true, L"App", 1001, Answer::No, Answer::Yes, 0, L"intercepted: its connections use the VPN"},
        {"bitness unknown counts as covered", true, L"App", 1001, Answer::Unknown, Answer::Yes, 0,
         L"intercepted: its connections use the VPN"},
        {"created at the start", true, L"App", 1000, Answer::No, Answer::Yes, 0,
         L"listed, but started before the binding: restart it"},
        {"created before", true, L"App", 999, Answer::No, Answer::Yes, 0,
         L"listed, but started before the binding: restart it"},
        {"start time unknown", true, L"App", 0, Answer::No, Answer::Yes, 0, L"listed, but its start time cannot be read"},
        {"no socket yet", true, L"App", 1001, Answer::No, Answer::No, 0,
         L"listed, but NorvexBind.dll is not loaded in it: it has not opened a socket yet"},
        {"modules unreadable", true, L"App", 1001, Answer::No, Answer::Unknown, 0,
         L"listed and started after the binding, but its modules cannot be read (5)"},
        {"not listed", true, L"", 1001, Answer::Yes, Answer::Yes, 0, L"not listed"},
        {"other bitness", true, L"App", 1001, Answer::Yes, Answer::Unknown, 0, nullptr},
        {"binding stopped", true, L"App", 1001, Answer::No, Answer::Yes, 1, L"listed, but the binding is not started"},
        {"binding unknown", true, L"App", 1001, Answer::No, Answer::Yes, 2, L"listed, but the binding's state is unknown"},
        {"path unknown", false, L"", 1001, Answer::No, Answer::Yes, 0, L"cannot tell: its program's path cannot be read"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ProcessFacts facts;
        facts.isImagePathFull = c.isPathFull;
        facts.bindType = c.bindType;
        facts.createTime = c.createTime;
        facts.isOtherBitness = c.isOtherBitness;
        facts.isProviderLoaded = c.isLoaded;
        facts.moduleError = 5;
        const BindingState& binding = c.binding == 0 ? started : c.binding == 1 ? stopped : unknown;
        EXPECT_EQ(std::wstring(c.verdict ? c.verdict : otherBitness), JudgeProcess(facts, binding));
    }
}

// The section's line of one process, or empty.
std::wstring LineOf(const std::wstring& text, DWORD processId)
{
    const std::wstring start = L"[" + std::to_wstring(processId) + L"] ";
    const size_t at = text.find(L"\r\n" + start);
    if (at == std::wstring::npos)
    {
        return std::wstring();
    }
    const size_t end = text.find(L"\r\n", at + 2);
    return text.substr(at + 2, end - at - 2);
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// A child that runs until its event is set; with the provider loaded or not.
class Child
{
public:
    Child(const std::wstring& arguments, const wchar_t* eventName) : m_event(::CreateEventW(nullptr, TRUE, FALSE, eventName))
    {
        std::wstring commandLine = L"\"" + GetTestBinFolder() + L"vpnclient.exe\" " + arguments +
                                   L" --until-event " + eventName;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        m_isStarted = ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &startup, &m_process) != FALSE;
    }
    ~Child()
    {
        ::SetEvent(m_event);
        if (m_isStarted)
        {
            ::WaitForSingleObject(m_process.hProcess, 10000);
            ::CloseHandle(m_process.hThread);
            ::CloseHandle(m_process.hProcess);
        }
        ::CloseHandle(m_event);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    DWORD Id() const { return m_process.dwProcessId; }
    bool IsStarted() const { return m_isStarted; }

private:
    HANDLE m_event;
    PROCESS_INFORMATION m_process{};
    bool m_isStarted = false;
};

TEST(ProcessVerdicts, RealProcessesOfThisMachine)
{
    HMODULE provider = ::LoadLibraryW((GetTestBinFolder() + L"NorvexBind.dll").c_str());
    ASSERT_NE(nullptr, provider);
    auto start = reinterpret_cast<VpnBindStartFn>(reinterpret_cast<void*>(::GetProcAddress(provider, "VpnBindStart")));
    auto stop = reinterpret_cast<VpnBindStopFn>(reinterpret_cast<void*>(::GetProcAddress(provider, "VpnBindStop")));
    ASSERT_TRUE(start && stop);
    ScopedProductList list;
    {
        // Everything in the test programs' folder, this program included.
        IniFile file(list.Path());
        file.WriteString(L"Tests", L"AppFullname", GetTestBinFolder() + L"vpnclient.exe");
        file.WriteString(L"Tests", L"Active", L"1");
    }
    start(0, 0x0200007F);
    ::Sleep(20);
    wchar_t loadedEvent[64];
    wchar_t bareEvent[64];
    std::swprintf(loadedEvent, 64, L"NorvexVerdictLoaded-%lu", ::GetCurrentProcessId());
    std::swprintf(bareEvent, 64, L"NorvexVerdictBare-%lu", ::GetCurrentProcessId());
    Child loaded(L"show", loadedEvent);
    Child bare(L"serve-routes --instances 1", bareEvent); // never loads the provider
    ASSERT_TRUE(loaded.IsStarted() && bare.IsStarted());
    ::Sleep(1500); // both up, the provider loaded in the first

    std::wstring text = AcceleratedProcessesText();
    EXPECT_EQ(0u, text.find(L"Binding: started at ")) << Narrow(text.substr(0, 80));
    EXPECT_NE(std::wstring::npos, text.find(L", VPN address 127.0.0.2\r\n"));
    const std::wstring section = L", section \"Tests\": ";
    EXPECT_EQ(section + L"intercepted: its connections use the VPN",
              LineOf(text, loaded.Id()).substr(LineOf(text, loaded.Id()).find(L", section")))
        << Narrow(LineOf(text, loaded.Id()));
    EXPECT_NE(std::wstring::npos, LineOf(text, bare.Id()).find(
                                      section + L"listed, but NorvexBind.dll is not loaded in it: it has not opened a "
                                                L"socket yet"))
        << Narrow(LineOf(text, bare.Id()));
    EXPECT_NE(std::wstring::npos,
              LineOf(text, ::GetCurrentProcessId()).find(section + L"listed, but started before the binding: restart it"))
        << Narrow(LineOf(text, ::GetCurrentProcessId()));
    const std::wstring ownLine = LineOf(text, ::GetCurrentProcessId());
    EXPECT_NE(std::wstring::npos, ownLine.find(GetTestBinFolder())) << "the full path: " << Narrow(ownLine);

    stop();
    text = AcceleratedProcessesText();
    EXPECT_EQ(0u, text.find(L"Binding: not started\r\n"));
    EXPECT_NE(std::wstring::npos, LineOf(text, loaded.Id()).find(section + L"listed, but the binding is not started"));
    ::FreeLibrary(provider);
}

} // namespace
