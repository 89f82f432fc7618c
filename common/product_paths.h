// Product data folder, application list path and process creation time.
// Shared by the provider and the diagnosis program.
//
// The two path functions cache their value for the life of the process and
// return copies; they never throw (an allocation failure gives an empty string).
// First calls may come from several threads at once: every caller gets a
// correct value, and the first one to finish fills the cache.
#pragma once

#include <windows.h>

#include <string>

// CSIDL_COMMON_APPDATA + "\Norvex\", created if missing. Ends in a backslash.
std::wstring GetProductDataFolder() noexcept;

// GetProductDataFolder() + "applist.ini".
std::wstring GetAppListPath() noexcept;

// Creation time of a process in FILETIME units, or 0 when it cannot be read.
ULONGLONG GetProcessCreateTime(DWORD processId) noexcept;
