// Entry point of NorvexBind.dll. Winsock loads the provider into every process
// that opens an IPv4 TCP or UDP socket, so attach does only what the provider
// needs before its first call, and never refuses the load.
#include "bind/control/provider_state.h"
#include "bind/core/extension_functions.h"
#include "bind/core/recvfrom_tracking.h"
#include "bind/core/route_cache.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
        AttachProviderToProcess(instance);
        break;
    case DLL_PROCESS_DETACH:
        // FreeLibrary (reserved null): no thread is inside the provider, so
        // its tables can give their memory back. At process exit the other
        // threads died where they stood, perhaps inside a table: the tables
        // stay as they are (nothing destroys them, common/process_wide.h).
        if (reserved == nullptr)
        {
            RouteCache.Clear();
            PendingRecvFromTable.Clear();
            ReleaseExtensionFunctionTables();
        }
        // Also at process exit: closing handles and deleting critical
        // sections never waits, so it is safe even when other threads died
        // holding the locks.
        DetachProviderFromProcess();
        break;
    default:
        break;
    }
    return TRUE;
}
