// Not a test: runs the diagnosis program as a user would and saves its report
// (the demo uses it on the program as it ships).
//
// usage: drive_diagnosis <program> <report file> [--comments TEXT] [--netstat]
#include "program_driver.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: drive_diagnosis <program> <report file> [--comments TEXT] [--netstat]\n");
        return 2;
    }
    DiagnosisProgramRun run;
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
