// A snapshot of the Winsock protocol catalog and the lookup of the provider
// below this one in a protocol chain.
//
// A ProtocolCatalog owns its entries (process heap) and lives only as long as
// the call that took it. Modules loaded by LoadNextLayerDll are never freed.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

// The provider id of this provider's own layered catalog entry.
extern const GUID kBindLayeredProviderId;

constexpr int kLayerPathChars = MAX_PATH;

class ProtocolCatalog
{
public:
    // Takes the snapshot; an enumeration or allocation failure leaves it empty.
    ProtocolCatalog() noexcept;
    ~ProtocolCatalog();
    ProtocolCatalog(const ProtocolCatalog&) = delete;
    ProtocolCatalog& operator=(const ProtocolCatalog&) = delete;

    // Number of entries; SOCKET_ERROR after a failed second enumeration,
    // which every walk treats as none.
    int Count() const noexcept { return m_count; }
    const WSAPROTOCOL_INFOW* Entries() const noexcept { return m_entries; }

    // Catalog id of the first entry with this provider id, or 0.
    DWORD FindCatalogEntryId(const GUID& providerId) const noexcept;

    // The entry's library path with environment variables expanded, into a
    // buffer of kLayerPathChars. Returns the expanded length the system
    // reports (terminator included), or 0 when the entry is missing, its path
    // cannot be read, or the expanded path does not fit (never truncated).
    int GetLayerPath(DWORD catalogEntryId, wchar_t* path) const noexcept;

private:
    int m_count = 0;
    WSAPROTOCOL_INFOW* m_entries = nullptr;
};

// First position in text where pattern stands, letter case ignored; null
// when it does not.
const wchar_t* FindSubstringNoCase(const wchar_t* text, const wchar_t* pattern) noexcept;

// Loads the library of the provider that follows this provider's own entry
// in chain, trying each later entry in turn; "mswsock.dll" when none loads.
// Null only when that fails too.
HMODULE LoadNextLayerDll(const ProtocolCatalog& catalog, const WSAPROTOCOLCHAIN& chain,
                         const GUID& ownProviderId) noexcept;
