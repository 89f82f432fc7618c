#include "common/catalog_api.h"

namespace
{

using WriteProviderOrderFn = int(WSPAPI*)(LPDWORD, DWORD);

// Bound at its first call, which only registration makes: a process that
// merely starts the provider never looks for it, nor loads sporder.dll.
// Current systems have it in ws2_32.dll; the oldest had it in sporder.dll.
int WSPAPI WriteProviderOrderOfTheSystem(LPDWORD catalogEntryIds, DWORD count)
{
    static WriteProviderOrderFn bound = nullptr;
    static volatile LONG isBound = 0;
    if (::InterlockedCompareExchange(&isBound, 0, 0) == 0)
    {
        static const wchar_t* const kLibraries[] = {L"ws2_32.dll", L"sporder.dll"};
        // Two first callers may both look it up; they find the same address.
        bound = reinterpret_cast<WriteProviderOrderFn>(
            reinterpret_cast<void*>(FindSystemLibraryExport(kLibraries, 2, "WSCWriteProviderOrder")));
        ::InterlockedExchange(&isBound, 1);
    }
    return bound != nullptr ? bound(catalogEntryIds, count) : ERROR_PROC_NOT_FOUND;
}

const CatalogApi kSystemApi = {::WSCEnumProtocols, ::WSCGetProviderPath, ::WSCInstallProvider,
                               WriteProviderOrderOfTheSystem, ::WSCDeinstallProvider};
const CatalogApi* g_api = nullptr;

} // namespace

FARPROC FindSystemLibraryExport(const wchar_t* const* libraries, size_t count, const char* name) noexcept
{
    wchar_t folder[MAX_PATH];
    const UINT cchFolder = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (cchFolder == 0 || cchFolder >= MAX_PATH)
    {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i)
    {
        wchar_t path[MAX_PATH + 1];
        if (::lstrlenW(libraries[i]) + cchFolder + 2 > MAX_PATH)
        {
            continue;
        }
        ::lstrcpyW(path, folder);
        ::lstrcatW(path, L"\\");
        ::lstrcatW(path, libraries[i]);
        HMODULE module = ::LoadLibraryW(path);
        if (module == nullptr)
        {
            continue;
        }
        if (FARPROC function = ::GetProcAddress(module, name))
        {
            return function; // the library stays loaded for it
        }
        ::FreeLibrary(module);
    }
    return nullptr;
}

const CatalogApi& GetCatalogApi() noexcept
{
    return g_api != nullptr ? *g_api : kSystemApi;
}

void SetCatalogApi(const CatalogApi* api) noexcept
{
    g_api = api;
}
