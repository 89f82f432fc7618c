// Cost of one DetermineBindType call (a full read of the list) against a list
// of 50 sections, next to the cost of one profile-file read. Not a test: run
//   bash -c '. scripts/lib.sh; in_private_network /usr/lib/wine/wine64 build/x86_64/bin/app_list_bench.exe'
#include "common/app_list.h"
#include "common/ini_file.h"
#include "tests/support/test_support.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace
{

double MicrosecondsPerCall(int calls, void (*body)(const std::wstring&), const std::wstring& path)
{
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i)
    {
        body(path);
    }
    ::QueryPerformanceCounter(&end);
    return (end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart / calls;
}

} // namespace

int main()
{
    ScratchFolder folder;
    std::wstring path = folder.Path() + L"applist.ini";
    IniFile list(path);
    for (int i = 0; i < 50; ++i)
    {
        std::wstring section = L"Application " + std::to_wstring(i);
        list.WriteString(section, L"AppFullname", L"C:\\Apps\\Vendor" + std::to_wstring(i) + L"\\bin\\app.exe");
        list.WriteString(section, L"Active", L"1");
        list.WriteString(section, L"PathFuzzyLevel", L"1");
    }
    const int kCalls = 200;
    double oneRead = MicrosecondsPerCall(kCalls * 10, [](const std::wstring& p) {
        IniFile(p).GetInt(L"Application 7", L"Active", 0);
    }, path);
    double match = MicrosecondsPerCall(kCalls, [](const std::wstring& p) {
        DetermineBindTypeFromList(p, L"C:\\Apps\\Vendor49\\bin\\app.exe");
    }, path);
    std::printf("one GetInt: %.1f us; DetermineBindType over 50 sections: %.1f us (%.0f reads' worth)\n", oneRead,
                match, match / oneRead);
    return 0;
}
