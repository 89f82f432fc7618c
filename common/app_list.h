// Which application list entry, if any, selects this process.
#pragma once

#include <string>

// The name of the section of applist.ini whose directory contains
// imagePath (the full path of the process's executable), or an empty string
// when no active entry matches. Reads the file afresh on every call.
std::wstring DetermineBindType(const std::wstring& imagePath) noexcept;

// The same, over the list file at listPath (tests and tools).
std::wstring DetermineBindTypeFromList(const std::wstring& listPath, const std::wstring& imagePath) noexcept;
