// The verdict on each process: the rules one by one, then real processes of
// this machine, listed and not, with and without the provider loaded,
// created before and after the binding started, of this program's bitness
// and of the other one.
#include "process_verdicts.h"

#include "bind/control/vpn_bind_api.h"
#include "tests/support/ini_file.h"
#include "common/provider_files.h"
#include "tests/shipped_dir.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <algorithm>
#include <memory>

namespace
{

using Answer = ProcessFacts::Answer;

TEST(ProcessVerdicts, EachFactDecides)
{
    const BindingState started{true, 1000, 0};
    const BindingState stopped{true, 0, 0};
    const BindingState unknown{};
    const std::wstring cannotTell = L"listed and started after the binding, but whether NorvexBind64.dll is loaded in "
                                    L"it cannot be told from this " + std::to_wstring(sizeof(void*) * 8) +
                                    L"-bit program: ntdll.dll has no NtWow64QueryInformationProcess64";
    static const struct
    {
        const char* name;
        bool isPathFull;
        const wchar_t* bindType;
        ULONGLONG createTime;
        int bits;
        Answer isLoaded;
        const wchar_t* whyUnknown;
        DWORD moduleError;
        int binding; // 0 started, 1 stopped, 2 unknown
        const wchar_t* verdict; // null: cannotTell
    } cases[] = {
        {"intercepted", true, L"App", 1001, 32, Answer::Yes, L"", 0, 0, L"intercepted: its connections use the VPN"},
        {"intercepted, 64-bit", true, L"App", 1001, 64, Answer::Yes, L"", 0, 0,
         L"intercepted: its connections use the VPN"},
        {"created at the start", true, L"App", 1000, 32, Answer::Yes, L"", 0, 0,
         L"listed, but started before the binding: restart it"},
        {"created before", true, L"App", 999, 64, Answer::Yes, L"", 0, 0,
         L"listed, but started before the binding: restart it"},
        {"start time unknown", true, L"App", 0, 32, Answer::Yes, L"", 0, 0,
         L"listed, but its start time cannot be read"},
        {"no socket yet", true, L"App", 1001, 32, Answer::No, L"", 0, 0,
         L"listed, but NorvexBind.dll is not loaded in it: it has not opened a socket yet"},
        {"no socket yet, 64-bit", true, L"App", 1001, 64, Answer::No, L"", 0, 0,
         L"listed, but NorvexBind64.dll is not loaded in it: it has not opened a socket yet"},
        {"no socket yet, bitness unknown", true, L"App", 1001, 0, Answer::No, L"", 0, 0,
         L"listed, but the provider is not loaded in it: it has not opened a socket yet"},
        {"modules unreadable", true, L"App", 1001, 32, Answer::Unknown, L"", 5, 0,
         L"listed and started after the binding, but its modules cannot be read (5)"},
        {"other bitness unreadable", true, L"App", 1001, 64, Answer::Unknown,
         L"ntdll.dll has no NtWow64QueryInformationProcess64", 0, 0, nullptr},
        {"with the system's status", true, L"App", 1001, 32, Answer::Unknown, L"its loader list cannot be read",
         0xC0000005, 0,
         sizeof(void*) == 8 ? L"listed and started after the binding, but whether NorvexBind.dll is loaded in it "
                              L"cannot be told from this 64-bit program: its loader list cannot be read (0xc0000005)"
                            : L"listed and started after the binding, but whether NorvexBind.dll is loaded in it "
                              L"cannot be told from this 32-bit program: its loader list cannot be read (0xc0000005)"},
        {"not listed", true, L"", 1001, 64, Answer::Unknown, L"", 0, 0, L"not listed"},
        {"binding stopped", true, L"App", 1001, 32, Answer::Yes, L"", 0, 1, L"listed, but the binding is not started"},
        {"binding unknown", true, L"App", 1001, 32, Answer::Yes, L"", 0, 2,
         L"listed, but the binding's state is unknown"},
        {"path unknown", false, L"", 1001, 32, Answer::Yes, L"", 0, 0,
         L"cannot tell: its program's path cannot be read"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ProcessFacts facts;
        facts.isImagePathFull = c.isPathFull;
        facts.bindType = c.bindType;
        facts.createTime = c.createTime;
        facts.bits = c.bits;
        facts.isProviderLoaded = c.isLoaded;
        facts.whyModulesUnknown = c.whyUnknown;
        facts.moduleError = c.moduleError;
        const BindingState& binding = c.binding == 0 ? started : c.binding == 1 ? stopped : unknown;
        EXPECT_EQ(c.verdict ? std::wstring(c.verdict) : cannotTell, JudgeProcess(facts, binding));
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

TEST(ProcessVerdicts, RealProcessesOfThisMachine)
{
    HMODULE provider = ::LoadLibraryW((GetTestBinFolder() + kOwnProviderFile).c_str());
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
        // The other test flavour's programs, of the other bitness.
        file.WriteString(L"Other", L"AppFullname", std::wstring(kOtherTestsBinFolder) + L"vpnclient.exe");
        file.WriteString(L"Other", L"Active", L"1");
    }
    start(0, 0x0200007F);
    ::Sleep(20);
    const std::wstring client = GetTestBinFolder() + L"vpnclient.exe";
    const std::wstring id = std::to_wstring(::GetCurrentProcessId());
    HeldChild loaded(client, L"show", L"NorvexVerdictLoaded-" + id);
    HeldChild bare(client, L"serve-routes --instances 1", L"NorvexVerdictBare-" + id); // never loads the provider
    ASSERT_TRUE(loaded.IsStarted() && bare.IsStarted());
    const int otherBits = sizeof(void*) == 8 ? 32 : 64;
    const bool hasOther = kOtherTestsBinFolder[0] != L'\0' && kOtherShippedFolder[0] != L'\0';
    std::unique_ptr<HeldChild> other;
    if (hasOther)
    {
        other = std::make_unique<HeldChild>(std::wstring(kOtherTestsBinFolder) + L"vpnclient.exe",
                                            L"show --provider \"" + std::wstring(kOtherShippedFolder) +
                                                ProviderFileForBits(otherBits) + L"\"",
                                            L"NorvexVerdictOther-" + id);
        ASSERT_TRUE(other->IsStarted());
    }
    // Until the providers are loaded: up to 20 s for the children to start
    // (an emulated one is slow).
    std::wstring text;
    for (int i = 0; i < 100; ++i)
    {
        text = AcceleratedProcessesText();
        const bool isLoadedHere = LineOf(text, loaded.Id()).find(L": intercepted: ") != std::wstring::npos;
        const bool isLoadedThere =
            !other || LineOf(text, other->Id()).find(L"is not loaded in it") == std::wstring::npos;
        if (isLoadedHere && isLoadedThere)
        {
            break;
        }
        ::Sleep(200);
    }
    EXPECT_EQ(0u, text.find(L"Binding: started at ")) << Narrow(text.substr(0, 80));
    EXPECT_NE(std::wstring::npos, text.find(L", VPN address 127.0.0.2\r\n"));
    const std::wstring section = L", section \"Tests\": ";
    EXPECT_EQ(section + L"intercepted: its connections use the VPN",
              LineOf(text, loaded.Id()).substr(LineOf(text, loaded.Id()).find(L", section")))
        << Narrow(LineOf(text, loaded.Id()));
    EXPECT_NE(std::wstring::npos,
              LineOf(text, bare.Id()).find(section + L"listed, but " + kOwnProviderFile +
                                           L" is not loaded in it: it has not opened a socket yet"))
        << Narrow(LineOf(text, bare.Id()));
    EXPECT_NE(std::wstring::npos,
              LineOf(text, ::GetCurrentProcessId()).find(section + L"listed, but started before the binding: restart it"))
        << Narrow(LineOf(text, ::GetCurrentProcessId()));
    const std::wstring ownLine = LineOf(text, ::GetCurrentProcessId());
    EXPECT_NE(std::wstring::npos, ownLine.find(GetTestBinFolder())) << "the full path: " << Narrow(ownLine);
    if (other)
    {
        // Read through its loader list where the system allows it; where it
        // does not (Wine gives neither PEB address), the line says so and
        // names the provider of the process's bitness.
        const std::wstring line = LineOf(text, other->Id());
        SCOPED_TRACE(Narrow(line));
        EXPECT_EQ(0u, line.find(L"[" + std::to_wstring(other->Id()) + L"] " + kOtherTestsBinFolder + L"vpnclient.exe"))
            << "the full path";
        const std::wstring verdict = line.substr(std::min(line.size(), line.find(L", section \"Other\": ")));
        const std::wstring cannotTell = L", section \"Other\": listed and started after the binding, but whether " +
                                        std::wstring(ProviderFileForBits(otherBits)) +
                                        L" is loaded in it cannot be told from this " +
                                        std::to_wstring(sizeof(void*) * 8) + L"-bit program: ";
        EXPECT_TRUE(verdict == L", section \"Other\": intercepted: its connections use the VPN" ||
                    verdict.compare(0, cannotTell.size(), cannotTell) == 0);
    }

    stop();
    text = AcceleratedProcessesText();
    EXPECT_EQ(0u, text.find(L"Binding: not started\r\n"));
    EXPECT_NE(std::wstring::npos, LineOf(text, loaded.Id()).find(section + L"listed, but the binding is not started"));
    ::FreeLibrary(provider);
}

} // namespace
