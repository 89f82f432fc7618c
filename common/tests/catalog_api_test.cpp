#include "common/catalog_api.h"

#include <gtest/gtest.h>

namespace
{

// The order function is looked for only where the system keeps its own
// libraries. recording_provider.dll lies beside this program, the first
// place a bare library name is searched in, and exports WSPStartup: a lookup
// by bare name would find it there.
TEST(CatalogApi, LibrariesAreLoadedFromTheSystemFolderOnly)
{
    const wchar_t* const beside[] = {L"recording_provider.dll"};
    EXPECT_EQ(nullptr, FindSystemLibraryExport(beside, 1, "WSPStartup"));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"recording_provider.dll"));

    const wchar_t* const system[] = {L"no-such-library.dll", L"ws2_32.dll"};
    EXPECT_EQ(reinterpret_cast<FARPROC>(::GetProcAddress(::GetModuleHandleW(L"ws2_32.dll"), "WSCEnumProtocols")),
              FindSystemLibraryExport(system, 2, "WSCEnumProtocols"))
        << "the next library is tried";
    EXPECT_EQ(nullptr, FindSystemLibraryExport(system, 2, "NoSuchExport"));
}

} // namespace
