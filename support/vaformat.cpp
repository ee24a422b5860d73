#include "support/vaformat.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <limits>
#include <optional>
#include <vector>

namespace {

// The formatter grows its buffer from 100 characters by doubling and gives up
// once an attempt of more than 10485759 bytes (two per character) failed: a
// text of 6553600 characters or more is never produced.
constexpr size_t kMaxChars = 6553600 - 1;
// Widths and precisions saturate here: a larger one can only give a text past
// the limit, and would cost the C formatter time to pad.
constexpr long long kMaxField = kMaxChars + 1;

struct Spec {
  std::wstring flags;
  int width = -1;
  int precision = -1;
  bool is64 = false;  // "ll", "I64", "j", "z", "t": the argument is 64 bits wide
  wchar_t conversion = 0;
};

// The digits of a width or precision, saturated at kMaxField.
int readNumber(std::wstring_view format, size_t& i) {
  long long value = 0;
  while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') value = std::min(kMaxField, value * 10 + (format[i++] - L'0'));
  return static_cast<int>(value);
}

// A width or precision taken from an argument, saturated at kMaxField.
int fieldArgument(const FormatArg& arg) { return static_cast<int>(std::clamp(arg.asSigned(), -kMaxField, kMaxField)); }

// nullopt when the conversion alone would pass the limit.
std::optional<std::wstring> formatOne(const Spec& spec, const FormatArg* arg) {
  const bool isText = spec.conversion == L's' || spec.conversion == L'S' || std::wstring_view(L"diuxXocfFeEgGp").find(spec.conversion) == std::wstring_view::npos;
  if (spec.width >= kMaxField || spec.width <= -kMaxField || (!isText && spec.precision >= kMaxField)) return std::nullopt;
  std::wstring pattern = L"%" + spec.flags;
  if (spec.width >= 0) pattern += std::to_wstring(spec.width);
  if (spec.precision >= 0) pattern += L"." + std::to_wstring(spec.precision);

  // Room for the width and precision from the start: the C formatter pads to
  // the full width on every attempt, even one whose buffer is too small.
  std::vector<wchar_t> buf(128 + static_cast<size_t>(std::max(spec.width, 0)) + static_cast<size_t>(isText ? 0 : std::max(spec.precision, 0)));
  auto print = [&](auto value) -> std::optional<std::wstring> {
    for (;;) {
      int n = swprintf(buf.data(), buf.size(), pattern.c_str(), value);
      if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::wstring(buf.data(), n);
      if (buf.size() > kMaxChars) return std::nullopt;
      buf.resize(buf.size() * 2);
    }
  };

  switch (spec.conversion) {
    case L'd':
    case L'i':
      pattern += L"lld";
      return print(arg ? arg->asSigned() : 0LL);
    case L'u':
    case L'x':
    case L'X':
    case L'o':
      pattern += L"ll";
      pattern += spec.conversion;
      return print(arg ? arg->asUnsigned(spec.is64) : 0ULL);
    case L'c': {
      pattern += L"lc";
      return print(static_cast<wint_t>(arg ? arg->asSigned() : 0));
    }
    case L'f':
    case L'F':
    case L'e':
    case L'E':
    case L'g':
    case L'G':
      pattern += spec.conversion;
      return print(arg ? arg->asDouble() : 0.0);
    case L'p':
      pattern += L"p";
      return print(reinterpret_cast<void*>(arg ? arg->asUnsigned(true) : 0));
    case L's':
    case L'S':
    default: {
      std::wstring text = arg ? arg->asText() : std::wstring();
      pattern += L"ls";
      if (spec.width < 0 && spec.precision < 0) return text;
      return print(text.c_str());
    }
  }
}

// A double as an integer, saturated at the ends of the range (NaN gives 0):
// the cast itself is undefined for a value out of range.
long long saturated(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775808.0) return std::numeric_limits<long long>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<long long>::min();
  return static_cast<long long>(d);
}

unsigned long long saturatedUnsigned(double d) {
  if (d >= 18446744073709551616.0) return std::numeric_limits<unsigned long long>::max();
  if (d >= 9223372036854775808.0) return static_cast<unsigned long long>(d);
  return static_cast<unsigned long long>(saturated(d));
}

}  // namespace

long long FormatArg::asSigned() const {
  switch (kind_) {
    case Kind::Signed: return signed_;
    case Kind::Unsigned:
    case Kind::Pointer: return static_cast<long long>(unsigned_);
    case Kind::Double: return saturated(double_);
    case Kind::Text: return 0;
  }
  return 0;
}

unsigned long long FormatArg::asUnsigned(bool widthFromFormat64) const {
  unsigned long long v = 0;
  switch (kind_) {
    case Kind::Signed: v = static_cast<unsigned long long>(signed_); break;
    case Kind::Unsigned:
    case Kind::Pointer: v = unsigned_; break;
    case Kind::Double: v = saturatedUnsigned(double_); break;
    case Kind::Text: v = 0; break;
  }
  // A negative 32-bit value printed with "%X" shows its 32 bits, as C would.
  if (!widthFromFormat64 && bits_ < 64) v &= (1ULL << bits_) - 1;
  return v;
}

double FormatArg::asDouble() const {
  switch (kind_) {
    case Kind::Double: return double_;
    case Kind::Signed: return static_cast<double>(signed_);
    case Kind::Unsigned:
    case Kind::Pointer: return static_cast<double>(unsigned_);
    case Kind::Text: return 0;
  }
  return 0;
}

std::wstring FormatArg::asText() const {
  switch (kind_) {
    case Kind::Text: return std::wstring(text_);
    case Kind::Signed: return std::to_wstring(signed_);
    case Kind::Unsigned:
    case Kind::Pointer: return std::to_wstring(unsigned_);
    case Kind::Double: return std::to_wstring(double_);
  }
  return {};
}

std::wstring vaformatArgs(std::wstring_view format, std::span<const FormatArg> args) {
  std::wstring out;
  size_t next = 0;
  size_t i = 0;
  const size_t n = format.size();
  while (i < n) {
    wchar_t c = format[i];
    if (c != L'%') {
      out += c;
      ++i;
      continue;
    }
    ++i;
    if (i < n && format[i] == L'%') {
      out += L'%';
      ++i;
      continue;
    }
    Spec spec;
    while (i < n && std::wstring_view(L"-+ #0").find(format[i]) != std::wstring_view::npos) spec.flags += format[i++];
    if (i < n && format[i] == L'*') {
      spec.width = next < args.size() ? fieldArgument(args[next++]) : 0;
      ++i;
    } else if (i < n && format[i] >= L'0' && format[i] <= L'9') {
      spec.width = readNumber(format, i);
    }
    if (i < n && format[i] == L'.') {
      ++i;
      spec.precision = 0;
      if (i < n && format[i] == L'*') {
        // A negative precision counts as none, as in C.
        spec.precision = next < args.size() ? std::max(-1, fieldArgument(args[next++])) : 0;
        ++i;
      } else {
        spec.precision = readNumber(format, i);
      }
    }
    // Length modifiers, the Windows "I64"/"I32" among them.
    for (;;) {
      if (i + 2 < n && format.substr(i, 3) == L"I64") {
        spec.is64 = true;
        i += 3;
      } else if (i + 2 < n && format.substr(i, 3) == L"I32") {
        i += 3;
      } else if (i < n && (format[i] == L'j' || format[i] == L'z' || format[i] == L't' || format[i] == L'q')) {
        spec.is64 = true;
        ++i;
      } else if (i < n && format[i] == L'l') {
        if (i + 1 < n && format[i + 1] == L'l') {
          spec.is64 = true;
          ++i;
        }
        ++i;
      } else if (i < n && (format[i] == L'h' || format[i] == L'L' || format[i] == L'w')) {
        ++i;
      } else {
        break;
      }
    }
    if (i >= n) break;
    spec.conversion = format[i++];
    const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
    ++next;
    const std::optional<std::wstring> piece = formatOne(spec, arg);
    if (!piece) return kVaformatOverflow;
    out += *piece;
    if (out.size() > kMaxChars) return kVaformatOverflow;
  }
  if (out.size() > kMaxChars) return kVaformatOverflow;
  return out;
}
