#include "process_verdicts.h"

#include "common/app_list_match.h"
#include "common/ini_snapshot.h"
#include "common/product_paths.h"
#include "common/provider_files.h"
#include "common/win32_handle.h"
#include "loader_list.h"
#include "report_text.h"
#include "vpnbind_probes.h"

#include "bind/control/vpn_bind_api.h"

#include <tlhelp32.h>

#include <algorithm>

namespace
{

constexpr int kProgramBits = sizeof(void*) * 8;
constexpr DWORD kProcessQueryLimitedInformation = 0x1000; // Vista and later

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using QueryFullProcessImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);

template <typename Fn>
Fn Kernel32Function(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b)
{
    return ::lstrcmpiW(a, b) == 0;
}

UniqueObject OpenForQuery(DWORD processId)
{
    UniqueObject process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
    if (!process)
    {
        process.Reset(::OpenProcess(kProcessQueryLimitedInformation, FALSE, processId));
    }
    return process;
}

struct Machine
{
    bool isOs64 = sizeof(void*) == 8;
    IsWow64ProcessFn isWow64Process = Kernel32Function<IsWow64ProcessFn>("IsWow64Process");
    QueryFullProcessImageNameFn queryImageName =
        Kernel32Function<QueryFullProcessImageNameFn>("QueryFullProcessImageNameW");

    Machine()
    {
        BOOL isWow64 = FALSE;
        if (!isOs64 && isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &isWow64) && isWow64)
        {
            isOs64 = true; // a 32-bit program on 64-bit Windows
        }
    }
};

// 32 or 64; 0 when it cannot be told. A 32-bit process on 64-bit Windows
// runs under WOW64.
int ProcessBits(const Machine& machine, HANDLE process)
{
    if (!machine.isOs64)
    {
        return 32;
    }
    BOOL isWow64 = FALSE;
    if (process != nullptr && machine.isWow64Process != nullptr && machine.isWow64Process(process, &isWow64))
    {
        return isWow64 ? 32 : 64;
    }
    return 0;
}

// Tool Help, for a process of this program's bitness: the first module is
// the image; the provider is one of the modules. (A 32-bit program cannot
// list a 64-bit process's modules this way: error 998 or 299.)
void ReadModules(ProcessFacts& facts)
{
    const wchar_t* provider = ProviderFileForBits(facts.bits != 0 ? facts.bits : kProgramBits);
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, facts.processId);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        facts.moduleError = ::GetLastError();
        return;
    }
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    if (!::Module32FirstW(snapshot, &module))
    {
        facts.moduleError = ::GetLastError();
        ::CloseHandle(snapshot);
        return;
    }
    facts.imagePath = module.szExePath;
    facts.isImagePathFull = true;
    facts.isProviderLoaded = ProcessFacts::Answer::No;
    do
    {
        if (EqualsIgnoringCase(module.szModule, provider))
        {
            facts.isProviderLoaded = ProcessFacts::Answer::Yes;
            break;
        }
    } while (::Module32NextW(snapshot, &module));
    ::CloseHandle(snapshot);
}

// A process of the other bitness, through its loader list.
void ReadModulesAcrossBitness(ProcessFacts& facts)
{
    UniqueObject process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, facts.processId));
    if (!process)
    {
        facts.moduleError = ::GetLastError();
        return;
    }
    const OtherBitnessModules read = ReadOtherBitnessModules(process.Get());
    if (!read.isRead)
    {
        facts.whyModulesUnknown = read.whyNot;
        facts.moduleError = read.error;
        return;
    }
    if (!read.modules.imagePath.empty())
    {
        facts.imagePath = read.modules.imagePath;
        facts.isImagePathFull = true;
    }
    const wchar_t* provider = ProviderFileForBits(facts.bits);
    const std::vector<std::wstring>& names = read.modules.names;
    if (std::any_of(names.begin(), names.end(),
                    [provider](const std::wstring& name) { return EqualsIgnoringCase(name.c_str(), provider); }))
    {
        facts.isProviderLoaded = ProcessFacts::Answer::Yes;
    }
    else if (read.modules.isComplete)
    {
        facts.isProviderLoaded = ProcessFacts::Answer::No;
    }
    else
    {
        facts.whyModulesUnknown = L"its loader list could be read only in part";
    }
}

ProcessFacts GatherFacts(const PROCESSENTRY32W& entry, const Machine& machine, const IniSnapshot& list)
{
    ProcessFacts facts;
    facts.processId = entry.th32ProcessID;
    facts.imagePath = entry.szExeFile;
    facts.createTime = GetProcessCreateTime(entry.th32ProcessID);

    UniqueObject process = OpenForQuery(entry.th32ProcessID);
    facts.bits = ProcessBits(machine, process.Get());
    if (facts.bits != 0 && facts.bits != kProgramBits)
    {
        ReadModulesAcrossBitness(facts);
    }
    else
    {
        ReadModules(facts);
    }
    if (process && !facts.isImagePathFull && machine.queryImageName != nullptr)
    {
        wchar_t path[MAX_PATH] = L"";
        DWORD cchPath = MAX_PATH;
        if (machine.queryImageName(process.Get(), 0, path, &cchPath))
        {
            facts.imagePath = path;
            facts.isImagePathFull = true;
        }
    }
    if (facts.isImagePathFull)
    {
        facts.bindType = MatchApplication(list, facts.imagePath);
    }
    return facts;
}

std::wstring BindingText(const BindingState& binding)
{
    if (!binding.isKnown)
    {
        return FormatText(L"Binding: unknown, %ls could not be loaded or has no control block\r\n", kOwnProviderFile);
    }
    if (binding.startTime == 0)
    {
        return L"Binding: not started\r\n";
    }
    ULARGE_INTEGER value;
    value.QuadPart = binding.startTime;
    FILETIME utc = {value.LowPart, value.HighPart};
    FILETIME local;
    SYSTEMTIME parts = {};
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &parts))
    {
        parts = {};
    }
    const auto* octets = reinterpret_cast<const BYTE*>(&binding.vpnIp);
    return FormatText(L"Binding: started at %04u-%02u-%02u %02u:%02u:%02u (local time), VPN address %u.%u.%u.%u\r\n",
                      parts.wYear, parts.wMonth, parts.wDay, parts.wHour, parts.wMinute, parts.wSecond, octets[0],
                      octets[1], octets[2], octets[3]);
}

} // namespace

std::wstring JudgeProcess(const ProcessFacts& facts, const BindingState& binding)
{
    using Answer = ProcessFacts::Answer;
    if (!facts.isImagePathFull)
    {
        return L"cannot tell: its program's path cannot be read";
    }
    if (facts.bindType.empty())
    {
        return L"not listed";
    }
    if (!binding.isKnown)
    {
        return L"listed, but the binding's state is unknown";
    }
    if (binding.startTime == 0)
    {
        return L"listed, but the binding is not started";
    }
    if (facts.createTime == 0)
    {
        return L"listed, but its start time cannot be read";
    }
    if (facts.createTime <= binding.startTime)
    {
        return L"listed, but started before the binding: restart it";
    }
    // The provider of its bitness; either one while its bitness is unknown.
    const wchar_t* provider = facts.bits != 0 ? ProviderFileForBits(facts.bits) : L"the provider";
    switch (facts.isProviderLoaded)
    {
    case Answer::Yes:
        return L"intercepted: its connections use the VPN";
    case Answer::No:
        return FormatText(L"listed, but %ls is not loaded in it: it has not opened a socket yet", provider);
    default:
        break;
    }
    if (facts.whyModulesUnknown.empty())
    {
        return FormatText(L"listed and started after the binding, but its modules cannot be read (%d)",
                          static_cast<int>(facts.moduleError));
    }
    std::wstring verdict = FormatText(L"listed and started after the binding, but whether %ls is loaded in it "
                                      L"cannot be told from this %d-bit program: %ls",
                                      provider, kProgramBits, facts.whyModulesUnknown.c_str());
    if (facts.moduleError != 0)
    {
        verdict += FormatText(L" (0x%08x)", static_cast<unsigned>(facts.moduleError));
    }
    return verdict;
}

namespace
{

std::wstring ProcessesText()
{
    BindingState binding;
    VpnBindGlobalControlBlock block;
    if (ReadControlBlock(&block))
    {
        binding.isKnown = true;
        ULARGE_INTEGER start;
        start.LowPart = block.StartTime.dwLowDateTime;
        start.HighPart = block.StartTime.dwHighDateTime;
        binding.startTime = start.QuadPart;
        binding.vpnIp = block.StartupParmas.VpnIP;
    }
    std::wstring text = BindingText(binding);

    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return text + FormatText(L"CreateToolhelp32Snapshot (of processes) failed %d.\r\n",
                                 static_cast<int>(::GetLastError()));
    }
    // One read of the list for all processes, matched as the provider
    // matches it.
    const IniSnapshot list(GetAppListPath());
    const Machine machine;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry))
    {
        if (entry.th32ProcessID == 0)
        {
            continue; // the idle process: no program
        }
        const ProcessFacts facts = GatherFacts(entry, machine, list);
        text += FormatText(L"[%d] %ls, section \"%ls\": %ls\r\n", static_cast<int>(facts.processId),
                           facts.imagePath.c_str(), facts.bindType.c_str(), JudgeProcess(facts, binding).c_str());
    }
    ::CloseHandle(snapshot);
    return text;
}

} // namespace

std::wstring AcceleratedProcessesText()
{
    try
    {
        return ProcessesText();
    }
    catch (...)
    {
        return L"the verdicts could not be made: out of memory\r\n";
    }
}
