#include "bind/install/registration.h"

#include "bind/control/provider_state.h"
#include "common/catalog_api.h"

#include <cstring>
#include <cwchar>

int FindTemplateEntry(const ProtocolCatalog& catalog, int family, int protocol) noexcept
{
    for (int i = 0; i < catalog.Count(); ++i)
    {
        const WSAPROTOCOL_INFOW& entry = catalog.Entries()[i];
        if (entry.iAddressFamily != family || entry.iProtocol != protocol)
        {
            continue;
        }
        if (protocol != 0 && entry.ProtocolChain.ChainLen == LAYERED_PROTOCOL)
        {
            continue;
        }
        return i;
    }
    return -1;
}

int InstallBindEntry(const ProtocolCatalog& catalog, const wchar_t* path, int which, DWORD layeredEntryId) noexcept
{
    const int protocol = BindEntryBases[which].protocol;
    int templateIndex = FindTemplateEntry(catalog, BindEntryBases[which].family, protocol);
    if (templateIndex < 0)
    {
        return -1;
    }
    WSAPROTOCOL_INFOW entry = catalog.Entries()[templateIndex];
    std::wcsncpy(entry.szProtocol, BindProviderNames[which], WSAPROTOCOL_LEN);
    entry.szProtocol[WSAPROTOCOL_LEN] = L'\0';

    WSAPROTOCOLCHAIN& chain = entry.ProtocolChain;
    if (protocol == 0)
    {
        chain.ChainLen = LAYERED_PROTOCOL;
    }
    else
    {
        // Our chain always rests directly on the base provider: the template
        // itself, or the last entry of a template that is another provider's
        // chain (a full chain of seven included, which could not take our
        // entry on top).
        DWORD baseId = chain.ChainLen == BASE_PROTOCOL ? entry.dwCatalogEntryId
                                                       : chain.ChainEntries[(chain.ChainLen < MAX_PROTOCOL_CHAIN
                                                                                 ? chain.ChainLen
                                                                                 : MAX_PROTOCOL_CHAIN) - 1];
        chain.ChainEntries[0] = layeredEntryId;
        chain.ChainEntries[1] = baseId;
        chain.ChainLen = 2;
    }

    GUID providerId = BindProviderGuids[which];
    int error = 0;
    return GetCatalogApi().InstallProvider(&providerId, path, &entry, 1, &error);
}

int FindGuidIndex(const GUID* guids, int count, const GUID& guid) noexcept
{
    for (int i = 0; i < count; ++i)
    {
        if (std::memcmp(&guids[i], &guid, sizeof(GUID)) == 0)
        {
            return i;
        }
    }
    return -1;
}

int MoveBindEntriesToFront(const ProtocolCatalog& catalog, const GUID* guids, int count) noexcept
{
    const int entryCount = catalog.Count() > 0 ? catalog.Count() : 0;
    auto* order = static_cast<DWORD*>(::HeapAlloc(::GetProcessHeap(), 0, (entryCount + 1) * sizeof(DWORD)));
    if (order == nullptr)
    {
        return ERROR_OUTOFMEMORY;
    }
    int front = 0;
    int back = entryCount - 1;
    for (int i = entryCount - 1; i >= 0; --i)
    {
        const WSAPROTOCOL_INFOW& entry = catalog.Entries()[i];
        if (FindGuidIndex(guids, count, entry.ProviderId) != -1)
        {
            order[front++] = entry.dwCatalogEntryId;
        }
        else
        {
            order[back--] = entry.dwCatalogEntryId;
        }
    }
    auto writeOrder = GetCatalogApi().WriteProviderOrder;
    int result = writeOrder != nullptr ? writeOrder(order, static_cast<DWORD>(entryCount)) : ERROR_PROC_NOT_FOUND;
    ::HeapFree(::GetProcessHeap(), 0, order);
    return result;
}

namespace
{

// The exports report in the place of an HRESULT. A negative value (the
// catalog functions' SOCKET_ERROR) is a failure as it stands; a positive
// Win32 or Winsock code would read as success, so it becomes its HRESULT.
HRESULT AsResult(int result) noexcept
{
    return result > 0 ? HRESULT_FROM_WIN32(static_cast<DWORD>(result)) : static_cast<HRESULT>(result);
}

} // namespace

extern "C" HRESULT WINAPI DllRegisterServer()
{
    int result = 0;
    {
        ProtocolCatalog catalog;
        result = InstallBindEntry(catalog, ProviderPath, kBindLayered, 0);
    }
    if (result != 0)
    {
        return AsResult(result);
    }

    // Each chain is tried; the first failure is reported. A chain whose base
    // the catalog lacks (IPv6 on Windows 2000, or on XP without IPv6) is
    // not needed there.
    for (int which = kBindTcp; which < kBindProviderCount; ++which)
    {
        ProtocolCatalog catalog;
        const BindEntryBase& base = BindEntryBases[which];
        if (IsBindEntryOptional(which) && FindTemplateEntry(catalog, base.family, base.protocol) < 0)
        {
            continue;
        }
        const int chainResult = InstallBindEntry(catalog, ProviderPath, which,
                                                 catalog.FindCatalogEntryId(BindProviderGuids[kBindLayered]));
        result = result != 0 ? result : chainResult;
    }
    if (result != 0)
    {
        return AsResult(result);
    }

    ProtocolCatalog catalog;
    return AsResult(MoveBindEntriesToFront(catalog, BindProviderGuids, kBindProviderCount));
}

extern "C" HRESULT WINAPI DllUnregisterServer()
{
    // Which of our entries are there to remove: one whose removal fails is
    // reported, whichever it is; one that is not there is already gone.
    // A catalog that cannot be read tells nothing: every entry counts then.
    bool isPresent[kBindProviderCount] = {};
    {
        ProtocolCatalog catalog;
        for (int i = 0; i < kBindProviderCount; ++i)
        {
            isPresent[i] = catalog.Count() <= 0 || catalog.FindCatalogEntryId(BindProviderGuids[i]) != 0;
        }
    }
    // The chains go before the layered entry they refer to.
    int result = 0;
    for (int i = kBindProviderCount - 1; i >= 0; --i)
    {
        GUID providerId = BindProviderGuids[i];
        int error = 0;
        const int removed = GetCatalogApi().DeinstallProvider(&providerId, &error);
        if (removed != 0 && isPresent[i] && result == 0)
        {
            result = removed;
        }
    }
    return AsResult(result);
}
