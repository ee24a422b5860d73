// Conversions between the program's wide text and bytes.
//
// The "ANSI code page" is the charset of the process locale (UTF-8 under the
// "C" and "POSIX" locales). Decoding never fails and never loses bytes: a byte
// that is not valid in the charset decodes to U+DC80 + byte and encodes back
// to the same byte, so a log line read and written again keeps every byte.
#pragma once

#include <string>
#include <string_view>

namespace text {

// Selects the process locale (setlocale(LC_ALL, "")) and remembers its
// charset; called once at start. Until then the charset is UTF-8.
void initLocale();

// The charset name in use, for example "UTF-8" or "ISO-8859-1".
const std::string& ansiCharset();

std::wstring fromAnsi(std::string_view bytes);
// Appends instead of returning, so that a caller can reuse its buffer.
void fromAnsi(std::string_view bytes, std::wstring& out);
std::string toAnsi(std::wstring_view text);
void toAnsi(std::wstring_view text, std::string& out);

std::wstring fromUtf8(std::string_view bytes);
std::string toUtf8(std::wstring_view text);

// UTF-16LE bytes (no byte-order mark) and back; wchar_t is UTF-32 here.
std::string toUtf16le(std::wstring_view text);
std::wstring fromUtf16le(std::string_view bytes);

// Case folding of the ASCII letters only: enough for the names, methods and
// switches the program compares "ignoring case".
std::wstring lowerAscii(std::wstring_view s);
bool equalsIgnoreCase(std::wstring_view a, std::wstring_view b);
// The first four characters equal "true" ignoring case.
bool startsWithTrue(std::wstring_view s);

std::wstring trim(std::wstring_view s);

// Leading blanks and sign, then decimal digits up to the first other
// character; no digits give 0.
long long parseLeadingInt64(std::wstring_view s);

}  // namespace text
