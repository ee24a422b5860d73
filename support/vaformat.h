// printf-style formatting of wide texts, taking the program's format texts as
// they stand: "%s" takes a wide string, "%I64d" a 64-bit integer, together with
// the usual "%d", "%lu", "%04d", "%08X", "%0lX".
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

// One argument of vaformat, kept with its kind so that the conversion letter,
// not the caller, decides how it is printed.
class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Double, Text, Pointer };

  FormatArg(const std::wstring& s) : kind_(Kind::Text), text_(s) {}
  FormatArg(std::wstring_view s) : kind_(Kind::Text), text_(s) {}
  FormatArg(const wchar_t* s) : kind_(Kind::Text), text_(s ? std::wstring_view(s) : std::wstring_view(L"(null)")) {}
  FormatArg(double d) : kind_(Kind::Double), double_(d) {}
  FormatArg(const void* p) : kind_(Kind::Pointer), unsigned_(reinterpret_cast<uintptr_t>(p)) {}
  template <class T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
  FormatArg(T v) {
    bits_ = sizeof(T) * 8;
    if constexpr (std::is_enum_v<T>) {
      kind_ = Kind::Signed;
      signed_ = static_cast<long long>(v);
    } else if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      signed_ = v;
    } else {
      kind_ = Kind::Unsigned;
      unsigned_ = v;
    }
  }

  Kind kind() const { return kind_; }
  long long asSigned() const;
  unsigned long long asUnsigned(bool widthFromFormat64) const;
  double asDouble() const;
  std::wstring asText() const;

 private:
  Kind kind_ = Kind::Signed;
  unsigned bits_ = 64;
  long long signed_ = 0;
  unsigned long long unsigned_ = 0;
  double double_ = 0;
  std::wstring_view text_;
};

// The text that replaces a result too large to format.
inline constexpr const wchar_t* kVaformatOverflow = L"Error on try call vaformat";

std::wstring vaformatArgs(std::wstring_view format, std::span<const FormatArg> args);

template <class... A>
std::wstring vaformat(std::wstring_view format, const A&... args) {
  const std::array<FormatArg, sizeof...(A)> list{FormatArg(args)...};
  return vaformatArgs(format, list);
}
