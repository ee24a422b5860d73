// Splitting the recipient list of an antivirus or spam filter record into
// addresses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The addresses of a recipient list such as
//   "Doe, John" <John.Doe@Example.com>, bare@example.org; other@example.net
// in the order they appear, trimmed of white space, never empty, case kept.
// Display names (quoted, with backslash escapes, or bare words before "<")
// are dropped. Addresses are separated by "," (and ";" after a bare
// address); an unterminated "<..." or a last bare address still counts.
std::vector<std::wstring> splitRecipients(std::wstring_view list);
