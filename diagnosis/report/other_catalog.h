// The Winsock catalog of the other bitness. 64-bit Windows keeps two: one for
// 64-bit processes and one for 32-bit ones, and each provider library is
// entered in the catalog of its bitness. A 64-bit program reads the 32-bit
// catalog with WSCEnumProtocols32. A 32-bit program has no function for the
// 64-bit catalog: it runs the 64-bit netsh ("winsock show catalog", reached
// through the Sysnative folder) and reads the provider ids it lists.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct OtherCatalog
{
    // The other catalog's bitness: 64 for a 32-bit program on 64-bit
    // Windows, 32 for a 64-bit program; 0 on 32-bit Windows, which has one.
    int bits = 0;
    bool isRead = false;           // providerIds are the catalog's
    std::vector<GUID> providerIds; // one per entry, in catalog order
    std::wstring whyNot;           // when not read, in plain words
};

// Reads the other catalog as this program can.
OtherCatalog ReadOtherCatalog();

// The provider ids in a catalog listing as netsh prints it, in braces, one
// per entry; false (no listing) when it names none.
bool ParseCatalogListing(const std::string& output, std::vector<GUID>* providerIds);

// How long netsh may take before it is ended and the catalog counts as
// unread.
constexpr DWORD kCatalogListingTimeoutMs = 15000;

// Tests only: replaces the reader (null restores the system's).
using OtherCatalogReader = OtherCatalog (*)();
void SetOtherCatalogReader(OtherCatalogReader reader);
