// Which application list entry, if any, selects this process.
#pragma once

#include <string>

// What the list says of a process: the name of the section of applist.ini
// whose directory contains its executable (the bind type; empty when no
// active entry matches), and that section's two switches ("ForceWSPBind"
// and "UseAsyncMode", 0 when missing or empty).
struct BindType
{
    std::wstring section;
    int forceWspBind = 0;
    int useAsyncMode = 0;
};

// For imagePath, the full path of a process's executable. Reads the file
// once per call, afresh at every call.
BindType DetermineBindType(const std::wstring& imagePath) noexcept;

// The same, over the list file at listPath (tests and tools).
BindType DetermineBindTypeFromList(const std::wstring& listPath, const std::wstring& imagePath) noexcept;
