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

    // One read of the list gives the section and both switches; a list that
    // cannot be read, or memory that runs out, selects nothing.
    const BindType bindType = DetermineBindType(ProcessImagePath);
    if (bindType.section.empty())
    {
        return 0;
    }
    NextProcTable = *lpProcTable;
    SavedUpcallTable = UpcallTable;
    ForceWSPBind = bindType.forceWspBind;
    UseAsyncMode = bindType.useAsyncMode;
    lpProcTable->lpWSPBind = WSPBind;
    lpProcTable->lpWSPConnect = WSPConnect;
    lpProcTable->lpWSPSendTo = WSPSendTo;
    lpProcTable->lpWSPRecvFrom = WSPRecvFrom;
    lpProcTable->lpWSPSend = WSPSend;
    lpProcTable->lpWSPRecv = WSPRecv;
    lpProcTable->lpWSPGetOverlappedResult = WSPGetOverlappedResult;
    lpProcTable->lpWSPCloseSocket = WSPCloseSocket;
    lpProcTable->lpWSPIoctl = WSPIoctl;
    return 0;
}
