#include "bind/core/protocol_catalog.h"

#include "common/catalog_api.h"

#include <cwchar>

// {4A76556B-1823-4FEE-9B43-22E44EA45A53}
const GUID kBindLayeredProviderId = {0x4A76556B, 0x1823, 0x4FEE, {0x9B, 0x43, 0x22, 0xE4, 0x4E, 0xA4, 0x5A, 0x53}};

namespace
{

// Next-layer libraries that are never loaded, matched anywhere in the path.
const wchar_t* const kSkippedLibraries[] = {L"GameLink.dll"};

const wchar_t kFallbackLibrary[] = L"mswsock.dll";

bool IsSkippedLibrary(const wchar_t* path) noexcept
{
    for (const wchar_t* name : kSkippedLibraries)
    {
        if (FindSubstringNoCase(path, name) != nullptr)
        {
            return true;
        }
    }
    return false;
}

} // namespace

ProtocolCatalog::ProtocolCatalog() noexcept
{
    const CatalogApi& api = GetCatalogApi();
    DWORD cbBuffer = 0;
    int error = 0;
    if (api.EnumProtocols(nullptr, nullptr, &cbBuffer, &error) == SOCKET_ERROR && error != WSAENOBUFS)
    {
        return;
    }
    if (cbBuffer == 0)
    {
        return;
    }
    m_entries = static_cast<WSAPROTOCOL_INFOW*>(::HeapAlloc(::GetProcessHeap(), 0, cbBuffer));
    if (m_entries == nullptr)
    {
        return;
    }
    m_count = api.EnumProtocols(nullptr, m_entries, &cbBuffer, &error);
}

ProtocolCatalog::~ProtocolCatalog()
{
    if (m_entries != nullptr)
    {
        ::HeapFree(::GetProcessHeap(), 0, m_entries);
    }
}

DWORD ProtocolCatalog::FindCatalogEntryId(const GUID& providerId) const noexcept
{
    for (int i = 0; i < m_count; ++i)
    {
        if (::memcmp(&m_entries[i].ProviderId, &providerId, sizeof(GUID)) == 0)
        {
            return m_entries[i].dwCatalogEntryId;
        }
    }
    return 0;
}

int ProtocolCatalog::GetLayerPath(DWORD catalogEntryId, wchar_t* path) const noexcept
{
    for (int i = 0; i < m_count; ++i)
    {
        if (m_entries[i].dwCatalogEntryId != catalogEntryId)
        {
            continue;
        }
        wchar_t rawPath[kLayerPathChars] = {};
        int cchRawPath = kLayerPathChars;
        int error = 0;
        GUID providerId = m_entries[i].ProviderId;
        if (GetCatalogApi().GetProviderPath(&providerId, rawPath, &cchRawPath, &error) != 0)
        {
            return 0;
        }
        rawPath[kLayerPathChars - 1] = L'\0';
        DWORD cchExpanded = ::ExpandEnvironmentStringsW(rawPath, path, kLayerPathChars);
        // A longer result is the size it would need: loading a cut path
        // could load some other library, so it is refused.
        if (cchExpanded == 0 || cchExpanded > static_cast<DWORD>(kLayerPathChars))
        {
            path[0] = L'\0';
            return 0;
        }
        return static_cast<int>(cchExpanded);
    }
    return 0;
}

const wchar_t* FindSubstringNoCase(const wchar_t* text, const wchar_t* pattern) noexcept
{
    const size_t cchPattern = std::wcslen(pattern);
    for (const wchar_t* position = text; *position != L'\0'; ++position)
    {
        if (::_wcsnicmp(position, pattern, cchPattern) == 0)
        {
            return position;
        }
    }
    return cchPattern == 0 ? text : nullptr;
}

HMODULE LoadNextLayerDll(const ProtocolCatalog& catalog, const WSAPROTOCOLCHAIN& chain,
                         const GUID& ownProviderId) noexcept
{
    const DWORD ownId = catalog.FindCatalogEntryId(ownProviderId);
    // The platform type holds at most MAX_PROTOCOL_CHAIN entries, whatever
    // the length field claims.
    const int chainLength = chain.ChainLen < MAX_PROTOCOL_CHAIN ? chain.ChainLen : MAX_PROTOCOL_CHAIN;
    for (int i = 0; ownId != 0 && i < chainLength - 1; ++i)
    {
        if (chain.ChainEntries[i] != ownId)
        {
            continue;
        }
        // Every entry after our own is tried in turn. A further occurrence
        // of our own entry ends this walk and is tried from there by the
        // outer one: loading this provider as its own next layer would make
        // its start-up call itself without end.
        for (int j = i + 1; j < chainLength && chain.ChainEntries[j] != ownId; ++j)
        {
            wchar_t path[kLayerPathChars];
            if (catalog.GetLayerPath(chain.ChainEntries[j], path) == 0 || IsSkippedLibrary(path))
            {
                continue;
            }
            HMODULE module = ::LoadLibraryW(path);
            if (module != nullptr)
            {
                return module;
            }
        }
    }
    return ::LoadLibraryW(kFallbackLibrary);
}
