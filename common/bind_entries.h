// The provider's three entries in the Winsock catalog, as registration
// writes them and the diagnosis program looks for them: the layered entry,
// the TCP chain and the UDP chain, in this order (it matters for the order
// rewrite and for removal).
#pragma once

#include <windows.h>

constexpr int kBindProviderCount = 3;
extern const GUID BindProviderGuids[kBindProviderCount];
// "Norvex Bind IP Filter", "Norvex Bind TCP Filter", "Norvex Bind UDP Filter".
extern const wchar_t* const BindProviderNames[kBindProviderCount];
