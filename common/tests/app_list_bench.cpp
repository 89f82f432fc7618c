// Cost of one DetermineBindType call against lists of 10, 100 and 500
// realistic entries, next to one GetPrivateProfileSectionNamesW of the same
// file in the same run (what a single profile read of that file costs), and
// the same decision made through the profile functions, one call per key.
// Not a test: run
//   bash -c '. scripts/lib.sh; in_private_network /usr/lib/wine/wine64 build/x86_64/bin/app_list_bench.exe'
#include "common/app_list.h"
#include "common/app_list_match.h"
#include "tests/support/ini_file.h"
#include "tests/support/test_support.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace
{

double MicrosecondsPerCall(int calls, const std::function<void()>& body)
{
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    body(); // the file in the system's cache, the code paged in
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i)
    {
        body();
    }
    ::QueryPerformanceCounter(&end);
    return (end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart / calls;
}

// A list as a VPN client with many applications writes it: long paths under
// Program Files, every key the provider reads.
std::string ListOf(int sections)
{
    std::string text;
    for (int i = 0; i < sections; ++i)
    {
        const std::string n = std::to_string(i);
        text += "[Application " + n + "]\r\n";
        text += "AppFullname=C:\\Program Files\\Vendor Name " + n + "\\Product Suite " + n +
                "\\bin\\x86\\application-name-" + n + ".exe\r\n";
        text += "Active=1\r\n";
        text += "PathFuzzyLevel=1\r\n";
        text += "ForceWSPBind=1\r\n";
        text += "UseAsyncMode=0\r\n";
    }
    return text;
}

void Write(const std::wstring& path, const std::string& text)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD cb = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &cb, nullptr);
    ::CloseHandle(file);
}

} // namespace

int main()
{
    ScratchFolder folder;
    std::vector<wchar_t> names(1 << 20);
    for (int sections : {10, 100, 500})
    {
        const std::wstring path = folder.Path() + L"applist" + std::to_wstring(sections) + L".ini";
        Write(path, ListOf(sections));
        // The last entry's program: every section is read on the way.
        const std::wstring last = std::to_wstring(sections - 1);
        const std::wstring program = L"C:\\Program Files\\Vendor Name " + last + L"\\Product Suite " + last +
                                     L"\\bin\\x86\\application-name-" + last + L".exe";
        const int calls = sections >= 500 ? 40 : 200;

        const double match = MicrosecondsPerCall(calls, [&] { (void)DetermineBindTypeFromList(path, program); });
        const double nameRead = MicrosecondsPerCall(calls, [&] {
            (void)::GetPrivateProfileSectionNamesW(names.data(), static_cast<DWORD>(names.size()), path.c_str());
        });
        std::printf("DetermineBindType, %d sections: %.0f us; one section-name read: %.0f us; ratio %.2f\n", sections,
                    match, nameRead, match / nameRead);
        if (DetermineBindTypeFromList(path, program).section != L"Application " + last)
        {
            std::printf("    (the last entry did not match: the measurement is off)\n");
        }

        // The same decision through the profile functions, as it was made
        // before: three reads of the file per section, and the name list.
        const double profile = MicrosecondsPerCall(sections >= 500 ? 2 : 10, [&] {
            (void)MatchApplication(IniFile(path), program);
        });
        std::printf("    through the profile functions, a call per key: %.0f us (%.0f section-name reads' worth)\n",
                    profile, profile / nameRead);
    }
    return 0;
}
