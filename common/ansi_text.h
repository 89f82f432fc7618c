// Text in the thread's ANSI code page, the code page in which console
// commands write, files are read and the report is saved, and its UTF-16 form.
#pragma once

#include <cstddef>
#include <string>

// Bytes in CP_THREAD_ACP up to the first NUL (or cbBytes) as UTF-16.
std::wstring AnsiToWide(const char* bytes, size_t cbBytes);
// The same in another code page (CP_OEMCP for what console programs write).
std::wstring CodePageToWide(unsigned int codePage, const char* bytes, size_t cbBytes);
// How many of the bytes form whole characters: all of them, or one less when
// they end in the lead byte of a double-byte character.
size_t WholeCharacterBytes(unsigned int codePage, const char* bytes, size_t cbBytes);
// A NUL-terminated ANSI text as UTF-16.
std::wstring AnsiToWide(const char* text);

// UTF-16 in CP_THREAD_ACP; characters the code page lacks become its default
// character.
std::string WideToAnsi(const std::wstring& text);
