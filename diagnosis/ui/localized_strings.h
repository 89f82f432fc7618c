// The texts the diagnosis program shows, fetched by key from one process-wide
// table so the wording lives in one place. The table is filled once by
// InitLocalizedStrings (from the application object's constructor) and only
// read afterwards, on the user-interface thread; it has no lock.
#pragma once

#include <map>
#include <string>

// Keys are ASCII identifiers compared byte by byte (case-sensitive); the table
// owns copies of keys and texts.
using LocalizedStringMap = std::map<std::string, std::wstring>;

extern LocalizedStringMap LocalizedStringTable;

// Inserts the built-in English texts; an existing key gets its text replaced.
void InitLocalizedStrings();

// Returns the caller's own copy of the text for key, or "[!] " followed by the
// key (thread ANSI code page) when the table does not know it, so a missing
// text shows up on screen instead of failing.
std::wstring GetLocalizedString(const char* key);
