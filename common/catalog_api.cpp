#include "common/catalog_api.h"

#include <initializer_list>

namespace
{

using WriteProviderOrderFn = int(WSPAPI*)(LPDWORD, DWORD);

WriteProviderOrderFn FindWriteProviderOrder() noexcept
{
    for (const wchar_t* library : {L"ws2_32.dll", L"sporder.dll"})
    {
        HMODULE module = ::LoadLibraryW(library);
        if (module == nullptr)
        {
            continue;
        }
        auto write = reinterpret_cast<WriteProviderOrderFn>(
            reinterpret_cast<void*>(::GetProcAddress(module, "WSCWriteProviderOrder")));
        if (write != nullptr)
        {
            return write; // the module stays loaded for it
        }
        ::FreeLibrary(module);
    }
    return nullptr;
}

CatalogApi g_systemApi = {::WSCEnumProtocols, ::WSCGetProviderPath, ::WSCInstallProvider, nullptr,
                          ::WSCDeinstallProvider};
volatile LONG g_isWriteOrderBound = 0;
const CatalogApi* g_api = nullptr;

} // namespace

const CatalogApi& GetCatalogApi() noexcept
{
    if (g_api != nullptr)
    {
        return *g_api;
    }
    if (::InterlockedCompareExchange(&g_isWriteOrderBound, 0, 0) == 0)
    {
        // Two first callers may both look it up; they find the same address.
        g_systemApi.WriteProviderOrder = FindWriteProviderOrder();
        ::InterlockedExchange(&g_isWriteOrderBound, 1);
    }
    return g_systemApi;
}

void SetCatalogApi(const CatalogApi* api) noexcept
{
    g_api = api;
}
