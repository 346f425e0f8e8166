#pragma once
// Small text helpers shared by every subsystem: the tool's texts are built
// with printf-style formats, and names are compared in upper case.

#include <cstdarg>
#include <string>
#include <string_view>

namespace velkaro {

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Locale-aware upper-casing of UTF-8 text (the profile values and reader
// names may carry non-ASCII letters). Bytes that are not valid UTF-8 are kept
// as they are, so the conversion never loses data.
std::string ToUpper(std::string_view text);

// ASCII-only case-insensitive comparison, used for section, key and value
// names, which are ASCII in every store we read.
bool EqualsNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::string_view a, std::string_view b);

std::string_view TrimSpaces(std::string_view text);

// Outside text made safe for a line of text: control characters (C0, tab
// included, DEL, and C1 U+0080..U+009F) and bytes that are not well-formed
// UTF-8 become "\xNN", one for each byte they take, so that nothing a device
// or a file says can end a line, split it or drive a terminal. Backslashes
// stay: "\x41" written by someone reads like an escaped byte.
std::string EscapeControls(std::string_view text);

}  // namespace velkaro
