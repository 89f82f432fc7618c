// How the application list's text reads, shared by its reader (IniSnapshot)
// and the tests' writer: section names escaped so that any text, brackets and
// line breaks included, can name a section, and integers as the profile
// functions read them.
#pragma once

#include <string>

// Tab, line feed, carriage return, brackets and the percent sign become
// "%xx" (two lower-case hex digits); so does a NUL, which only a decoded
// "%00" from a foreign file can put into a name.
std::wstring EscapeSectionName(const std::wstring& name) noexcept;
std::wstring UnescapeSectionName(const std::wstring& escaped) noexcept;

// How GetInt reads a value's text: the default for an empty text, otherwise
// wcstol in base 0 (0x for hexadecimal, a leading 0 for octal; conversion
// stops at the first character that does not fit, no digit gives 0).
int ProfileTextToInt(const std::wstring& text, int defaultValue) noexcept;
