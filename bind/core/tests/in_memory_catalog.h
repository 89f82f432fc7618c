// A Winsock catalog in memory that behaves like Windows' for what the
// provider does with it: catalog ids handed out on install, enumeration in
// catalog order with WSAENOBUFS sizing, provider paths kept as written
// (environment variables unexpanded), order rewrites and removal.
// Installed as the provider's CatalogApi while an InMemoryCatalog lives.
#pragma once

#include "common/catalog_api.h"

#include <string>
#include <vector>

class InMemoryCatalog
{
public:
    InMemoryCatalog();
    ~InMemoryCatalog();
    InMemoryCatalog(const InMemoryCatalog&) = delete;
    InMemoryCatalog& operator=(const InMemoryCatalog&) = delete;

    // Adds one entry as WSCInstallProvider would and returns its catalog id.
    DWORD Add(const GUID& providerId, const std::wstring& path, DWORD serviceFlags1 = 0,
              std::vector<DWORD> chain = {});

    // Adds a whole entry (its catalog id replaced by a new one); returns the id.
    DWORD AddEntry(const WSAPROTOCOL_INFOW& info, const std::wstring& path);

    std::vector<WSAPROTOCOL_INFOW> Entries() const;
    bool failEnumeration = false;
    int writeOrderResult = 0;       // non-zero: the order rewrite fails with it
    GUID refuseDeinstallOf = {};    // a provider whose removal fails (WSANO_RECOVERY)

private:
    const CatalogApi m_api;
};

// Provider ids for test entries: {0000000n-0000-0000-0000-000000000000}.
GUID TestGuid(unsigned n);

// How many of the table's thirty entries lie outside module (the next
// layer's library): the ones start-up replaced.
int CountEntriesOutside(const WSPPROC_TABLE& table, HMODULE module);
