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
    // The system's looks WSCWriteProviderOrder up at its first call (in
    // ws2_32.dll, then sporder.dll on the oldest systems) and answers
    // ERROR_PROC_NOT_FOUND when neither has it. Null in a test table: none.
    int(WSPAPI* WriteProviderOrder)(LPDWORD catalogEntryIds, DWORD count);
    int(WSPAPI* DeinstallProvider)(LPGUID providerId, LPINT errorCode);
};

// The table in force.
const CatalogApi& GetCatalogApi() noexcept;

// The export name of the first of the libraries that has it, each loaded
// from the system folder by its full path (never from the folders a bare
// name is searched in, where another program may have put a library of that
// name). The library that has it stays loaded. Null when none has it.
FARPROC FindSystemLibraryExport(const wchar_t* const* libraries, size_t count, const char* name) noexcept;

// Tests only: replaces the table (null restores the system's). Not for use
// while another thread uses the catalog.
void SetCatalogApi(const CatalogApi* api) noexcept;
