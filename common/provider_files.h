// The provider's file names. 64-bit Windows keeps one Winsock catalog per
// bitness and loads a provider into a process from the catalog of the
// process's own bitness, so the provider ships twice: NorvexBind.dll for
// 32-bit processes and NorvexBind64.dll for 64-bit ones. Both read the same
// control block, mutex, route pipe and application list.
#pragma once

constexpr wchar_t kProviderFile32[] = L"NorvexBind.dll";
constexpr wchar_t kProviderFile64[] = L"NorvexBind64.dll";

// The one a process of this build's bitness loads.
constexpr const wchar_t* kOwnProviderFile = sizeof(void*) == 8 ? kProviderFile64 : kProviderFile32;

// The one a process of the given bitness (32 or 64) loads.
constexpr const wchar_t* ProviderFileForBits(int bits)
{
    return bits == 64 ? kProviderFile64 : kProviderFile32;
}
