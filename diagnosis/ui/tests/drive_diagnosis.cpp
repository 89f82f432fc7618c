// Not a test: runs the diagnosis program as a user would and saves its report
// (the demo uses it on the program as it ships). With --demo-list the
// product's applist.ini is set aside while the program runs, and a list as
// the VPN client would write it stands in its place; each --also-list adds a
// section for one more program (the demo's 64-bit stand-ins).
//
// usage: drive_diagnosis <program> <report file> [--comments TEXT] [--netstat] [--demo-list]
//                        [--also-list PROGRAM]...
#include "program_driver.h"

#include "tests/support/test_support.h"

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace
{

// A list as the VPN client would write it: a browser that is not on this
// machine, the programs in this tool's own folder (the demo's 32-bit
// stand-ins) and the extra programs, so that the report has verdicts to show.
void WriteDemoList(const std::wstring& path, const std::vector<std::wstring>& extraPrograms)
{
    wchar_t self[MAX_PATH] = L"";
    const DWORD cch = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, cch);
    folder.resize(folder.find_last_of(L'\\') + 1);
    std::wstring list = L"[Browser]\r\nAppFullname=C:\\Apps\\Browser\\browser.exe\r\nActive=1\r\n"
                              L"ForceWSPBind=1\r\nUseAsyncMode=1\r\n"
                              L"[Demo tools]\r\nAppFullname=" + folder + L"vpnclient.exe\r\nActive=1\r\n";
    for (size_t i = 0; i < extraPrograms.size(); ++i)
    {
        list += L"[Demo tools " + std::to_wstring(i + 2) + L"]\r\nAppFullname=" + extraPrograms[i] +
                L"\r\nActive=1\r\n";
    }
    const int cb = ::WideCharToMultiByte(CP_ACP, 0, list.c_str(), static_cast<int>(list.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string bytes(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, list.c_str(), static_cast<int>(list.size()), &bytes[0], cb, nullptr, nullptr);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: drive_diagnosis <program> <report file> [--comments TEXT] [--netstat] "
                             "[--demo-list] [--also-list PROGRAM]...\n");
        return 2;
    }
    DiagnosisProgramRun run;
    bool wantsDemoList = false;
    std::vector<std::wstring> extraPrograms;
    for (int i = 3; i < argc; ++i)
    {
        if (std::wcscmp(argv[i], L"--comments") == 0 && i + 1 < argc)
        {
            run.comments = argv[++i];
        }
        else if (std::wcscmp(argv[i], L"--netstat") == 0)
        {
            run.queryNetConnections = true;
        }
        else if (std::wcscmp(argv[i], L"--demo-list") == 0)
        {
            wantsDemoList = true;
        }
        else if (std::wcscmp(argv[i], L"--also-list") == 0 && i + 1 < argc)
        {
            extraPrograms.push_back(argv[++i]);
        }
    }
    std::unique_ptr<ScopedProductList> demoList;
    if (wantsDemoList)
    {
        demoList = std::make_unique<ScopedProductList>();
        WriteDemoList(demoList->Path(), extraPrograms);
    }
    const DiagnosisProgramResult result = DriveDiagnosisProgram(argv[1], argv[2], run);
    for (const std::wstring& text : result.boxTexts)
    {
        std::printf("message box: %ls\n", text.c_str());
    }
    if (!result.failure.empty())
    {
        std::printf("failed: %ls\n", result.failure.c_str());
        return 1;
    }
    std::printf("report run %lu ms, saved to %ls, program ended with %lu\n", result.reportRunMs, argv[2],
                result.exitCode);
    return result.didSave && result.didExit && result.exitCode == 0 ? 0 : 1;
}
