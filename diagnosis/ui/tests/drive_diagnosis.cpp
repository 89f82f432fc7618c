// Not a test: runs the diagnosis program as a user would and saves its report
// (the demo uses it on the program as it ships). With --demo-list the
// product's applist.ini is set aside while the program runs, and a list as
// the VPN client would write it stands in its place.
//
// usage: drive_diagnosis <program> <report file> [--comments TEXT] [--netstat] [--demo-list]
#include "program_driver.h"

#include "tests/support/test_support.h"

#include <cstdio>
#include <cwchar>
#include <memory>

namespace
{

void WriteDemoList(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return;
    }
    const char list[] = "[Browser]\r\nAppFullname=C:\\Apps\\Browser\\browser.exe\r\nActive=1\r\n"
                        "ForceWSPBind=1\r\nUseAsyncMode=1\r\n";
    DWORD written = 0;
    ::WriteFile(file, list, sizeof(list) - 1, &written, nullptr);
    ::CloseHandle(file);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: drive_diagnosis <program> <report file> [--comments TEXT] [--netstat] "
                             "[--demo-list]\n");
        return 2;
    }
    DiagnosisProgramRun run;
    std::unique_ptr<ScopedProductList> demoList;
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
        else if (std::wcscmp(argv[i], L"--demo-list") == 0 && !demoList)
        {
            demoList = std::make_unique<ScopedProductList>();
            WriteDemoList(demoList->Path());
        }
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
