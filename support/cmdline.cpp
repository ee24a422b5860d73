#include "support/cmdline.h"

#include "support/text.h"

namespace {

bool isSeparator(wchar_t c) { return c == L' ' || c == L'\t'; }

bool needsQuotes(const std::wstring& argument) {
  static constexpr std::wstring_view kSpecial = L" \t\n\v\f\r\"&<>[]{}^=;!'+,`~|";
  return argument.find_first_of(kSpecial.data(), 0, kSpecial.size()) != std::wstring::npos;
}

size_t skipSeparators(std::wstring_view line, size_t i) {
  while (i < line.size() && isSeparator(line[i])) ++i;
  return i;
}

// The program name has no escapes: a quoted one runs to the next quote.
size_t readProgramName(std::wstring_view line, size_t i, std::wstring& out) {
  if (i < line.size() && line[i] == L'"') {
    const size_t close = line.find(L'"', i + 1);
    const size_t end = close == std::wstring_view::npos ? line.size() : close;
    out.assign(line.substr(i + 1, end - i - 1));
    return close == std::wstring_view::npos ? end : end + 1;
  }
  const size_t start = i;
  while (i < line.size() && !isSeparator(line[i])) ++i;
  out.assign(line.substr(start, i - start));
  return i;
}

// One ordinary argument from `i`, which is not a separator; returns the index
// after it.
size_t readArgument(std::wstring_view line, size_t i, std::wstring& out) {
  bool quoted = false;
  while (i < line.size()) {
    size_t backslashes = 0;
    while (i < line.size() && line[i] == L'\\') {
      ++backslashes;
      ++i;
    }
    if (i < line.size() && line[i] == L'"') {
      out.append(backslashes / 2, L'\\');
      if (backslashes % 2 == 1) {
        out += L'"';
      } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
        out += L'"';
        ++i;
      } else {
        quoted = !quoted;
      }
      ++i;
      continue;
    }
    out.append(backslashes, L'\\');
    if (i >= line.size() || (!quoted && isSeparator(line[i]))) break;
    out += line[i++];
  }
  return i;
}

std::vector<std::wstring> split(std::wstring_view line, bool firstIsProgram) {
  std::vector<std::wstring> args;
  size_t i = skipSeparators(line, 0);
  if (i == line.size()) return args;
  // Blanks before the program name give an empty name, as on Windows.
  if (firstIsProgram) {
    args.emplace_back();
    i = skipSeparators(line, readProgramName(line, 0, args.back()));
  }
  while (i < line.size()) {
    args.emplace_back();
    i = skipSeparators(line, readArgument(line, i, args.back()));
  }
  return args;
}

std::wstring maskArgument(const std::wstring& argument) {
  const size_t eq = argument.find(L'=');
  const std::wstring name = argument.substr(0, eq);
  if (name.find(L"password") == std::wstring::npos && name.find(L"pwd") == std::wstring::npos) return argument;
  std::wstring masked = quoteArgument(name);
  for (size_t p = eq; p != std::wstring::npos; p = argument.find(L'=', p + 1)) masked += L"=*";
  return masked;
}

}  // namespace

std::vector<std::wstring> splitCommandLine(std::wstring_view line) { return split(line, true); }

std::vector<std::wstring> splitArguments(std::wstring_view line) { return split(line, false); }

std::wstring quoteArgument(const std::wstring& argument) {
  if (argument.empty()) return L"\"\"";
  if (!needsQuotes(argument)) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote must not escape it: double them, then escape the quote.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::wstring joinCommandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (const std::wstring& a : arguments) {
    if (!line.empty()) line += L' ';
    line += quoteArgument(a);
  }
  return line;
}

std::wstring maskCommandLine(std::wstring_view line) {
  std::wstring masked;
  for (const std::wstring& a : splitCommandLine(line)) {
    if (!masked.empty()) masked += L' ';
    masked += quoteArgument(maskArgument(a));
  }
  return text::trim(masked);
}
