// Text building blocks of the report: printf-style formatting into UTF-16 and
// conversion between UTF-16 and the thread's ANSI code page, the code page
// in which console commands write and the report is saved.
#pragma once

#include <windows.h>

#include <string>

// Formats as _snwprintf does (msvcrt conventions: "%ls" a wide string, "%hs"
// an 8-bit string, "%I64d" a 64-bit number); the text grows as needed.
std::wstring FormatText(const wchar_t* format, ...);

// Bytes in CP_THREAD_ACP up to the first NUL (or cbBytes) as UTF-16.
std::wstring AnsiToWide(const char* bytes, size_t cbBytes);

// UTF-16 in CP_THREAD_ACP; characters the code page lacks become its default
// character.
std::string WideToAnsi(const std::wstring& text);
