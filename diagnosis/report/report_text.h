// Text building of the report: printf-style formatting into UTF-16.
#pragma once

#include <string>

// Formats as _snwprintf does (msvcrt conventions: "%ls" a wide string, "%hs"
// an 8-bit string, "%I64d" a 64-bit number); the text grows as needed.
std::wstring FormatText(const wchar_t* format, ...);
