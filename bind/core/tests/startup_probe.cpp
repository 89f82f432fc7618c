// Child program of the start-up tests: it sets itself up as the provider's
// process attach does (its own path and creation time, the machine-wide
// control block), runs WSPStartup for a TCP chain over the recording
// provider whose path it is given, and prints what start-up did:
//   replaced=<entries that are the provider's own> force=<n> async=<n> result=<n>
// With "--wait-event NAME" it waits for that event before the start-up.
#include "bind/control/provider_state.h"
#include "bind/core/protocol_catalog.h"
#include "bind/core/provider_tables.h"
#include "bind/core/tests/in_memory_catalog.h"

#include <cstdio>
#include <cwchar>

extern "C" int WSPAPI WSPStartup(WORD, LPWSPDATA, LPWSAPROTOCOL_INFOW, WSPUPCALLTABLE, LPWSPPROC_TABLE);

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        return 2;
    }
    if (argc >= 4 && std::wcscmp(argv[2], L"--wait-event") == 0)
    {
        HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
        if (go == nullptr || ::WaitForSingleObject(go, 30000) != WAIT_OBJECT_0)
        {
            return 3;
        }
    }
    AttachProviderToProcess(::GetModuleHandleW(nullptr));

    InMemoryCatalog catalog;
    DWORD own = catalog.Add(kBindLayeredProviderId, L"NorvexBind.dll");
    DWORD base = catalog.Add(TestGuid(0x1001), argv[1]);
    DWORD chainId = catalog.Add(TestGuid(0x5001), L"NorvexBind.dll", 0, {own, base});
    WSAPROTOCOL_INFOW chain{};
    for (const WSAPROTOCOL_INFOW& entry : catalog.Entries())
    {
        if (entry.dwCatalogEntryId == chainId)
        {
            chain = entry;
        }
    }

    WSPPROC_TABLE table{};
    WSPDATA data{};
    WSPUPCALLTABLE upcalls{};
    int result = WSPStartup(MAKEWORD(2, 2), &data, &chain, upcalls, &table);
    int replaced = CountEntriesOutside(table, ::GetModuleHandleW(argv[1]));
    std::printf("replaced=%d force=%d async=%d result=%d\n", replaced, ForceWSPBind, UseAsyncMode, result);
    DetachProviderFromProcess();
    return 0;
}
