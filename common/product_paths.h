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

// The machine's common application data folder, the one
// SHGetFolderPathW(CSIDL_COMMON_APPDATA) gives, found where the shell keeps
// it on Windows 2000 to 7 without loading the shell: the provider must not
// bring shell32, user32 and gdi32 into every socket-using process. Empty
// when it cannot be read.
std::wstring GetCommonAppDataFolder() noexcept;

// GetCommonAppDataFolder() + "\Norvex\", created if missing (each level
// with CreateDirectoryW). Ends in a backslash.
std::wstring GetProductDataFolder() noexcept;

// GetProductDataFolder() + "applist.ini".
std::wstring GetAppListPath() noexcept;

// Creation time of a process in FILETIME units, or 0 when it cannot be read.
ULONGLONG GetProcessCreateTime(DWORD processId) noexcept;
