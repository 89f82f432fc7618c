// Entering the provider into the Winsock catalog and removing it again:
// one layered entry and a chain over each of the system's IPv4 and IPv6 TCP
// and UDP providers (the IPv6 ones where the catalog has them), moved to
// the front of the catalog order.
#pragma once

#include "bind/core/protocol_catalog.h"
#include "common/bind_entries.h"

// Index of the first entry of this family and protocol that can serve as a
// template, or -1. For a chain (protocol other than 0) another provider's
// layered entry is passed over: it rests on no base provider.
int FindTemplateEntry(const ProtocolCatalog& catalog, int family, int protocol) noexcept;

// Installs our entry `which` (common/bind_entries.h) copied from its
// template; the layered entry takes no layeredEntryId. -1 when there is no
// template, otherwise the result of the install call.
int InstallBindEntry(const ProtocolCatalog& catalog, const wchar_t* path, int which, DWORD layeredEntryId) noexcept;

// Index of the first equal GUID, or -1.
int FindGuidIndex(const GUID* guids, int count, const GUID& guid) noexcept;

// Writes a catalog order with our entries first (in reverse catalog order)
// and all others after them in their previous order. 0, ERROR_OUTOFMEMORY,
// or the order call's error.
int MoveBindEntriesToFront(const ProtocolCatalog& catalog, const GUID* guids, int count) noexcept;
