// Text in the thread's ANSI code page, the code page in which console
// commands write, files are read and the report is saved, and its UTF-16 form.
#pragma once

#include <cstddef>
#include <string>

// Bytes in CP_THREAD_ACP up to the first NUL (or cbBytes) as UTF-16.
std::wstring AnsiToWide(const char* bytes, size_t cbBytes);
// A NUL-terminated ANSI text as UTF-16.
std::wstring AnsiToWide(const char* text);

// UTF-16 in CP_THREAD_ACP; characters the code page lacks become its default
// character.
std::string WideToAnsi(const std::wstring& text);
