#include "lsp_health.h"

#include "common/bind_entries.h"
#include "common/catalog_api.h"
#include "other_catalog.h"
#include "report_text.h"

#include <winsock2.h>
#include <ws2spi.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{


std::vector<WSAPROTOCOL_INFOW> ReadCatalog(int* error)
{
    std::vector<WSAPROTOCOL_INFOW> entries;
    const CatalogApi& catalog = GetCatalogApi();
    DWORD cbEntries = 0;
    *error = 0;
    if (catalog.EnumProtocols(nullptr, nullptr, &cbEntries, error) == SOCKET_ERROR && *error != WSAENOBUFS)
    {
        return entries;
    }
    entries.resize(cbEntries / sizeof(WSAPROTOCOL_INFOW) + 1);
    cbEntries = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
    const int count = catalog.EnumProtocols(nullptr, entries.data(), &cbEntries, error);
    // Never more entries than the block holds, whatever the count says.
    entries.resize(static_cast<size_t>(std::max(0, std::min(count, static_cast<int>(entries.size())))));
    return entries;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

int ChainLength(const WSAPROTOCOL_INFOW& entry)
{
    return std::max(0, std::min(entry.ProtocolChain.ChainLen, MAX_PROTOCOL_CHAIN));
}

class HealthReport
{
public:
    HealthReport(std::vector<WSAPROTOCOL_INFOW> entries, OtherCatalog other)
        : m_entries(std::move(entries)), m_other(std::move(other))
    {
    }

    std::wstring Text()
    {
        CheckOurEntries();
        for (int which = kBindTcp; which < kBindProviderCount; ++which)
        {
            if (IsNeeded(which))
            {
                CheckFirst(which);
            }
        }
        CheckChains();
        CheckFiles();
        CheckOtherLayers();
        CheckOtherCatalog();
        if (m_problems == 0)
        {
            m_text += L"LSP Health: OK\r\n";
        }
        else
        {
            m_text += FormatText(L"LSP Health: %d problem(s)\r\n", m_problems);
        }
        return m_text;
    }

private:
    const WSAPROTOCOL_INFOW* ById(DWORD id) const
    {
        for (const WSAPROTOCOL_INFOW& entry : m_entries)
        {
            if (entry.dwCatalogEntryId == id)
            {
                return &entry;
            }
        }
        return nullptr;
    }

    const WSAPROTOCOL_INFOW* Ours(int which) const
    {
        for (const WSAPROTOCOL_INFOW& entry : m_entries)
        {
            if (SameGuid(entry.ProviderId, BindProviderGuids[which]))
            {
                return &entry;
            }
        }
        return nullptr;
    }

    // A base provider of the family and protocol of our entry `which`.
    bool HasBaseFor(int which) const
    {
        return std::any_of(m_entries.begin(), m_entries.end(), [which](const WSAPROTOCOL_INFOW& entry) {
            return entry.iAddressFamily == BindEntryBases[which].family
                   && entry.iProtocol == BindEntryBases[which].protocol
                   && entry.ProtocolChain.ChainLen == BASE_PROTOCOL;
        });
    }

    // The IPv6 chains only where the catalog has IPv6 to carry.
    bool IsNeeded(int which) const { return !IsBindEntryOptional(which) || HasBaseFor(which); }

    void Ok(const std::wstring& line) { m_text += L"OK: " + line + L"\r\n"; }
    void Problem(const std::wstring& line)
    {
        m_text += L"Problem: " + line + L"\r\n";
        ++m_problems;
    }

    void CheckOurEntries()
    {
        for (int which = 0; which < kBindProviderCount; ++which)
        {
            const WSAPROTOCOL_INFOW* entry = Ours(which);
            if (entry == nullptr && !IsNeeded(which))
            {
                continue;
            }
            if (entry != nullptr)
            {
                Ok(FormatText(L"%ls is installed (catalog id %d)", BindProviderNames[which],
                              static_cast<int>(entry->dwCatalogEntryId)));
            }
            else
            {
                Problem(FormatText(L"%ls is not installed", BindProviderNames[which]));
            }
        }
    }

    // Winsock gives a new socket of this family and protocol to the first
    // entry that offers it; a layered entry alone offers none.
    void CheckFirst(int which)
    {
        const BindEntryBase& base = BindEntryBases[which];
        const wchar_t* protocolName = base.family == AF_INET6 ? (base.protocol == IPPROTO_TCP ? L"IPv6 TCP" : L"IPv6 UDP")
                                                              : (base.protocol == IPPROTO_TCP ? L"IPv4 TCP" : L"IPv4 UDP");
        const WSAPROTOCOL_INFOW* first = nullptr;
        for (const WSAPROTOCOL_INFOW& entry : m_entries)
        {
            if (entry.iAddressFamily == base.family && entry.iProtocol == base.protocol
                && entry.ProtocolChain.ChainLen != LAYERED_PROTOCOL)
            {
                first = &entry;
                break;
            }
        }
        if (first == nullptr)
        {
            Problem(FormatText(L"no entry offers %ls at all", protocolName));
        }
        else if (SameGuid(first->ProviderId, BindProviderGuids[which]))
        {
            Ok(FormatText(L"%ls comes first for %ls", BindProviderNames[which], protocolName));
        }
        else
        {
            Problem(FormatText(L"\"%ls\" comes first for %ls, before %ls", first->szProtocol, protocolName,
                               BindProviderNames[which]));
        }
    }

    void CheckChains()
    {
        const int before = m_problems;
        for (const WSAPROTOCOL_INFOW& entry : m_entries)
        {
            if (entry.ProtocolChain.ChainLen > MAX_PROTOCOL_CHAIN)
            {
                // Its entries mean nothing then: the length is the problem.
                Problem(FormatText(L"\"%ls\" (catalog id %d) claims a chain of %d entries; at most %d exist",
                                   entry.szProtocol, static_cast<int>(entry.dwCatalogEntryId),
                                   entry.ProtocolChain.ChainLen, MAX_PROTOCOL_CHAIN));
                continue;
            }
            if (entry.ProtocolChain.ChainLen <= BASE_PROTOCOL)
            {
                continue;
            }
            for (int i = 0; i < ChainLength(entry); ++i)
            {
                const DWORD id = entry.ProtocolChain.ChainEntries[i];
                if (ById(id) == nullptr)
                {
                    Problem(FormatText(L"\"%ls\" (catalog id %d) names catalog id %d, which is not in the catalog",
                                       entry.szProtocol, static_cast<int>(entry.dwCatalogEntryId),
                                       static_cast<int>(id)));
                }
            }
        }
        if (m_problems == before)
        {
            Ok(L"every chain names catalog ids that exist");
        }
    }

    // One check per provider: its entries share one file.
    void CheckFiles()
    {
        const int before = m_problems;
        std::vector<GUID> checked;
        for (const WSAPROTOCOL_INFOW& entry : m_entries)
        {
            if (std::any_of(checked.begin(), checked.end(),
                            [&](const GUID& id) { return SameGuid(id, entry.ProviderId); }))
            {
                continue;
            }
            checked.push_back(entry.ProviderId);
            GUID providerId = entry.ProviderId;
            wchar_t path[MAX_PATH] = L"";
            int cchPath = MAX_PATH;
            int error = 0;
            if (GetCatalogApi().GetProviderPath(&providerId, path, &cchPath, &error) == SOCKET_ERROR)
            {
                Problem(FormatText(L"the catalog gives no file for \"%ls\" (WSCGetProviderPath failed. %d)",
                                   entry.szProtocol, error));
                continue;
            }
            path[MAX_PATH - 1] = L'\0';
            if (path[0] == L'\0')
            {
                Problem(FormatText(L"the catalog gives no file for \"%ls\"", entry.szProtocol));
                continue;
            }
            wchar_t expanded[MAX_PATH] = L"";
            const DWORD cchExpanded = ::ExpandEnvironmentStringsW(path, expanded, MAX_PATH);
            if (cchExpanded == 0 || cchExpanded > MAX_PATH)
            {
                Problem(FormatText(L"the file of \"%ls\" cannot be found: %ls", entry.szProtocol, path));
                continue;
            }
            const DWORD attributes = ::GetFileAttributesW(expanded);
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            {
                Problem(FormatText(L"the file of \"%ls\" is missing: %ls", entry.szProtocol, expanded));
            }
        }
        if (m_problems == before)
        {
            Ok(L"the files of all providers exist");
        }
    }

    std::wstring NameOf(DWORD id) const
    {
        const WSAPROTOCOL_INFOW* entry = ById(id);
        return entry != nullptr ? entry->szProtocol : FormatText(L"catalog id %d", static_cast<int>(id));
    }

    // Above ours: layers before our layered entry in any chain that holds
    // it. Below ours: layers between our entry and the base provider.
    void CheckOtherLayers()
    {
        const WSAPROTOCOL_INFOW* layered = Ours(kBindLayered);
        if (layered == nullptr)
        {
            return; // nothing to sit above or below
        }
        const DWORD ourId = layered->dwCatalogEntryId;
        const int before = m_problems;
        for (const WSAPROTOCOL_INFOW& entry : m_entries)
        {
            const int length = ChainLength(entry);
            if (entry.ProtocolChain.ChainLen <= BASE_PROTOCOL)
            {
                continue;
            }
            int ours = -1;
            for (int i = 0; i < length && ours < 0; ++i)
            {
                ours = entry.ProtocolChain.ChainEntries[i] == ourId ? i : -1;
            }
            if (ours < 0)
            {
                continue;
            }
            for (int i = 0; i < length - 1; ++i)
            {
                const DWORD id = entry.ProtocolChain.ChainEntries[i];
                if (i == ours || id == ourId)
                {
                    continue;
                }
                Problem(FormatText(L"another layered provider, \"%ls\", sits %ls ours in \"%ls\"", NameOf(id).c_str(),
                                   i < ours ? L"above" : L"below", entry.szProtocol));
            }
        }
        if (m_problems == before)
        {
            Ok(L"no other layered provider sits above or below ours");
        }
    }

    // The catalog of the other bitness holds the other provider library's
    // entries, with the same GUIDs; only whether they are there is known.
    void CheckOtherCatalog()
    {
        if (m_other.bits == 0)
        {
            return; // one catalog only
        }
        if (!m_other.isRead)
        {
            m_text += FormatText(L"Cannot tell: whether the %d-bit catalog holds our entries: %ls\r\n", m_other.bits,
                                 m_other.whyNot.c_str());
            return;
        }
        // Only the GUIDs are known there, not whether it has IPv6 to carry:
        // an IPv6 chain is named only when it is there.
        for (int which = 0; which < kBindProviderCount; ++which)
        {
            const std::vector<GUID>& ids = m_other.providerIds;
            if (std::any_of(ids.begin(), ids.end(),
                            [which](const GUID& id) { return SameGuid(id, BindProviderGuids[which]); }))
            {
                Ok(FormatText(L"the %d-bit catalog holds %ls", m_other.bits, BindProviderNames[which]));
            }
            else if (!IsBindEntryOptional(which))
            {
                Problem(FormatText(L"the %d-bit catalog lacks %ls: %d-bit programs are not bound", m_other.bits,
                                   BindProviderNames[which], m_other.bits));
            }
        }
    }

    std::vector<WSAPROTOCOL_INFOW> m_entries;
    OtherCatalog m_other;
    std::wstring m_text;
    int m_problems = 0;
};

} // namespace

std::wstring LspHealthText()
{
    int error = 0;
    std::vector<WSAPROTOCOL_INFOW> entries = ReadCatalog(&error);
    if (entries.empty())
    {
        return FormatText(L"WSCEnumProtocols failed. %d\r\nLSP Health: 1 problem(s)\r\n", error);
    }
    return HealthReport(std::move(entries), ReadOtherCatalog()).Text();
}
