// The Winsock catalog functions that the provider and the diagnosis report
// use, behind one table. Both call the real ones; tests put an in-memory
// catalog in their place, because Wine's catalog cannot install or reorder
// providers.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

struct CatalogApi
{
    int(WSPAPI* EnumProtocols)(LPINT protocols, LPWSAPROTOCOL_INFOW buffer, LPDWORD cbBuffer, LPINT errorCode);
    int(WSPAPI* GetProviderPath)(LPGUID providerId, WCHAR* path, LPINT cchPath, LPINT errorCode);
    int(WSPAPI* InstallProvider)(LPGUID providerId, const WCHAR* path, const LPWSAPROTOCOL_INFOW entries,
                                 DWORD count, LPINT errorCode);
    // Null when neither ws2_32.dll nor sporder.dll offers it.
    int(WSPAPI* WriteProviderOrder)(LPDWORD catalogEntryIds, DWORD count);
    int(WSPAPI* DeinstallProvider)(LPGUID providerId, LPINT errorCode);
};

// The table in force. The first call binds WSCWriteProviderOrder at run time
// (ws2_32.dll, then sporder.dll on the oldest systems): never from DllMain.
const CatalogApi& GetCatalogApi() noexcept;

// Tests only: replaces the table (null restores the system's). Not for use
// while another thread uses the catalog.
void SetCatalogApi(const CatalogApi* api) noexcept;
