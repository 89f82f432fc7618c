// WSPStartup: Winsock's entry into the provider, once per process and chain.
// It always lets the next layer fill the procedure table; it replaces nine
// entries only in a listed process created after the binding started.
#include "bind/control/control_block.h"
#include "bind/control/debug_trace.h"
#include "bind/control/provider_state.h"
#include "bind/core/extension_functions.h"
#include "bind/core/protocol_catalog.h"
#include "bind/core/provider_tables.h"
#include "bind/core/socket_hooks.h"
#include "common/app_list.h"
#include "common/ini_file.h"
#include "common/product_paths.h"

WSPPROC_TABLE NextProcTable = {};
WSPUPCALLTABLE SavedUpcallTable = {};
int ForceWSPBind = 0;
int UseAsyncMode = 0;

extern "C" int WSPAPI WSPStartup(WORD wVersionRequested, LPWSPDATA lpWSPData, LPWSAPROTOCOL_INFOW lpProtocolInfo,
                                 WSPUPCALLTABLE UpcallTable, LPWSPPROC_TABLE lpProcTable) noexcept
{
    // Our layered entry itself carries no sockets; Winsock only starts
    // chains. Refuse rather than hand back an unfilled table as success.
    if (lpProtocolInfo->ProtocolChain.ChainLen <= BASE_PROTOCOL)
    {
        DebugTrace("ppiProt->ProtocolChain.ChainLen <= BASE_PROTOCOL\n");
        return WSAEPROVIDERFAILEDINIT;
    }

    ProtocolCatalog catalog;
    HMODULE nextLayer = LoadNextLayerDll(catalog, lpProtocolInfo->ProtocolChain, kBindLayeredProviderId);
    LPWSPSTARTUP nextStartup = nextLayer == nullptr
                                   ? nullptr
                                   : reinterpret_cast<LPWSPSTARTUP>(
                                         reinterpret_cast<void*>(::GetProcAddress(nextLayer, "WSPStartup")));
    if (nextStartup == nullptr)
    {
        DebugTrace("Can not find next layer WSAStartup\n");
        return WSASYSNOTREADY;
    }

    const int result = nextStartup(wVersionRequested, lpWSPData, lpProtocolInfo, UpcallTable, lpProcTable);
    if (result != 0 || !IsProcessAfterVpnBindStart())
    {
        return result;
    }

    // The section and key names are strings that may fail to allocate: the
    // process then stays on the next layer's whole table, since no exception
    // may reach Winsock and a half-replaced table is neither of our states.
    const WSPPROC_TABLE nextTable = *lpProcTable;
    try
    {
        const std::wstring bindType = DetermineBindType(ProcessImagePath);
        if (bindType.empty())
        {
            return 0;
        }

        NextProcTable = nextTable;
        SavedUpcallTable = UpcallTable;

        IniFile list(GetAppListPath());
        ForceWSPBind = list.GetInt(bindType, L"ForceWSPBind", 0);
        lpProcTable->lpWSPBind = WSPBind;
        lpProcTable->lpWSPConnect = WSPConnect;
        UseAsyncMode = list.GetInt(bindType, L"UseAsyncMode", 0);
        lpProcTable->lpWSPSendTo = WSPSendTo;
        lpProcTable->lpWSPRecvFrom = WSPRecvFrom;
        lpProcTable->lpWSPSend = WSPSend;
        lpProcTable->lpWSPRecv = WSPRecv;
        lpProcTable->lpWSPGetOverlappedResult = WSPGetOverlappedResult;
        lpProcTable->lpWSPCloseSocket = WSPCloseSocket;
        lpProcTable->lpWSPIoctl = WSPIoctl;
    }
    catch (...)
    {
        *lpProcTable = nextTable;
    }
    return 0;
}
