// What the report shows of the provider: its control block as the provider
// library maps it, and the application list both programs read.
#pragma once

#include <string>

// Loads the provider of the program's bitness ("NorvexBind.dll" for the
// 32-bit program) by file name, the program's folder first, and keeps
// it loaded; prints the block's start time and VPN address, or which step
// failed.
std::wstring GetVpnBindControlBlockInfo();
// The same for the library named libraryName (tests name other libraries).
std::wstring ControlBlockInfoFrom(const wchar_t* libraryName);

// A copy of the control block as the provider library (loaded as above, and
// kept) maps it; false when the library, its export or the block is missing.
struct VpnBindGlobalControlBlock;
bool ReadControlBlock(VpnBindGlobalControlBlock* copy);

// The text of applist.ini, unparsed; empty when the file cannot be read.
std::wstring GetAcceleratedAppsText();
// The same for the file at path.
std::wstring ListFileText(const std::wstring& path);
