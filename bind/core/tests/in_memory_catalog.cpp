#include "bind/core/tests/in_memory_catalog.h"

#include <algorithm>
#include <cstring>

namespace
{

struct Entry
{
    WSAPROTOCOL_INFOW info;
    std::wstring path;
};

std::vector<Entry> g_entries;
DWORD g_nextId = 2001;
InMemoryCatalog* g_owner = nullptr;

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

int WSPAPI Enumerate(LPINT, LPWSAPROTOCOL_INFOW buffer, LPDWORD cbBuffer, LPINT errorCode)
{
    if (g_owner->failEnumeration)
    {
        *errorCode = WSAEFAULT;
        return SOCKET_ERROR;
    }
    DWORD cbNeeded = static_cast<DWORD>(g_entries.size() * sizeof(WSAPROTOCOL_INFOW));
    if (buffer == nullptr || *cbBuffer < cbNeeded)
    {
        *cbBuffer = cbNeeded;
        *errorCode = WSAENOBUFS;
        return SOCKET_ERROR;
    }
    for (size_t i = 0; i < g_entries.size(); ++i)
    {
        buffer[i] = g_entries[i].info;
    }
    return static_cast<int>(g_entries.size());
}

int WSPAPI GetPath(LPGUID providerId, WCHAR* path, LPINT cchPath, LPINT errorCode)
{
    for (const Entry& entry : g_entries)
    {
        if (!SameGuid(entry.info.ProviderId, *providerId))
        {
            continue;
        }
        if (static_cast<int>(entry.path.size()) >= *cchPath)
        {
            *errorCode = WSAEFAULT;
            return SOCKET_ERROR;
        }
        std::wcscpy(path, entry.path.c_str());
        *cchPath = static_cast<int>(entry.path.size() + 1);
        return 0;
    }
    *errorCode = WSAEINVAL;
    return SOCKET_ERROR;
}

int WSPAPI Install(LPGUID providerId, const WCHAR* path, const LPWSAPROTOCOL_INFOW entries, DWORD count,
                   LPINT errorCode)
{
    for (const Entry& entry : g_entries)
    {
        if (SameGuid(entry.info.ProviderId, *providerId))
        {
            *errorCode = WSAEINVAL; // a provider id is installed once
            return SOCKET_ERROR;
        }
    }
    for (DWORD i = 0; i < count; ++i)
    {
        Entry entry{entries[i], path};
        entry.info.ProviderId = *providerId;
        entry.info.dwCatalogEntryId = g_nextId++;
        g_entries.push_back(entry);
    }
    return 0;
}

int WSPAPI WriteOrder(LPDWORD ids, DWORD count)
{
    if (g_owner->writeOrderResult != 0)
    {
        return g_owner->writeOrderResult;
    }
    if (count != g_entries.size())
    {
        return WSAEINVAL;
    }
    std::vector<Entry> reordered;
    for (DWORD i = 0; i < count; ++i)
    {
        auto found = std::find_if(g_entries.begin(), g_entries.end(),
                                  [&](const Entry& e) { return e.info.dwCatalogEntryId == ids[i]; });
        if (found == g_entries.end())
        {
            return WSAEINVAL;
        }
        reordered.push_back(*found);
    }
    g_entries = reordered;
    return 0;
}

int WSPAPI Deinstall(LPGUID providerId, LPINT errorCode)
{
    if (SameGuid(g_owner->refuseDeinstallOf, *providerId))
    {
        *errorCode = WSANO_RECOVERY;
        return SOCKET_ERROR;
    }
    auto end = std::remove_if(g_entries.begin(), g_entries.end(),
                              [&](const Entry& e) { return SameGuid(e.info.ProviderId, *providerId); });
    if (end == g_entries.end())
    {
        *errorCode = WSAEINVAL;
        return SOCKET_ERROR;
    }
    g_entries.erase(end, g_entries.end());
    return 0;
}

} // namespace

InMemoryCatalog::InMemoryCatalog() : m_api{Enumerate, GetPath, Install, WriteOrder, Deinstall}
{
    g_entries.clear();
    g_nextId = 2001;
    g_owner = this;
    SetCatalogApi(&m_api);
}

InMemoryCatalog::~InMemoryCatalog()
{
    SetCatalogApi(nullptr);
    g_owner = nullptr;
    g_entries.clear();
}

DWORD InMemoryCatalog::Add(const GUID& providerId, const std::wstring& path, DWORD serviceFlags1,
                           std::vector<DWORD> chain)
{
    Entry entry{};
    entry.info.ProviderId = providerId;
    entry.info.dwServiceFlags1 = serviceFlags1;
    entry.info.dwCatalogEntryId = g_nextId++;
    entry.info.ProtocolChain.ChainLen = chain.empty() ? LAYERED_PROTOCOL : static_cast<int>(chain.size());
    for (size_t i = 0; i < chain.size() && i < MAX_PROTOCOL_CHAIN; ++i)
    {
        entry.info.ProtocolChain.ChainEntries[i] = chain[i];
    }
    entry.path = path;
    g_entries.push_back(entry);
    return entry.info.dwCatalogEntryId;
}

DWORD InMemoryCatalog::AddEntry(const WSAPROTOCOL_INFOW& info, const std::wstring& path)
{
    Entry entry{info, path};
    entry.info.dwCatalogEntryId = g_nextId++;
    g_entries.push_back(entry);
    return entry.info.dwCatalogEntryId;
}

std::vector<WSAPROTOCOL_INFOW> InMemoryCatalog::Entries() const
{
    std::vector<WSAPROTOCOL_INFOW> infos;
    for (const Entry& entry : g_entries)
    {
        infos.push_back(entry.info);
    }
    return infos;
}

GUID TestGuid(unsigned n)
{
    GUID guid{};
    guid.Data1 = n;
    return guid;
}

int CountEntriesOutside(const WSPPROC_TABLE& table, HMODULE module)
{
    int count = 0;
    void* const* entries = reinterpret_cast<void* const*>(&table);
    for (size_t i = 0; i < sizeof(table) / sizeof(void*); ++i)
    {
        MEMORY_BASIC_INFORMATION info{};
        ::VirtualQuery(entries[i], &info, sizeof(info));
        count += info.AllocationBase != module ? 1 : 0;
    }
    return count;
}
