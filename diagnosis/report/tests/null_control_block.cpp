// Stands for a provider library that could not map its control block.
#include <windows.h>

extern "C" __declspec(dllexport) void* WINAPI VpnBindGetGlobalControlBlock()
{
    return nullptr;
}
