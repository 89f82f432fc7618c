// Entry point of NorvexBind.dll. Winsock loads the provider into every process
// that opens an IPv4 TCP or UDP socket, so attach does only what the provider
// needs before its first call, and never refuses the load.
#include "bind/control/provider_state.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
        AttachProviderToProcess(instance);
        break;
    case DLL_PROCESS_DETACH:
        // Also at process exit (reserved non-null): closing handles and
        // deleting critical sections never waits, so it is safe even when
        // other threads died holding the locks.
        DetachProviderFromProcess();
        break;
    default:
        break;
    }
    return TRUE;
}
