#include "support/text.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cwctype>
#include <mutex>

namespace text {
namespace {

std::string g_charset = "UTF-8";
bool g_utf8 = true;
// The name the conversions use under any UTF-8 locale, without a copy per
// call (and ready for conversions made while other files are initialised).
const std::string& utf8Name() {
  static const std::string name = "UTF-8";
  return name;
}

bool isUtf8Name(const std::string& cs) {
  std::string l;
  for (char c : cs) l += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return l == "utf-8" || l == "utf8";
}

// iconv descriptors per direction, opened once per charset; the program is
// single-threaded, but the lock keeps helper threads of tests honest.
struct Converter {
  iconv_t handle = reinterpret_cast<iconv_t>(-1);
  std::string from, to;
  std::mutex lock;
  iconv_t get(const std::string& f, const std::string& t) {
    if (handle != reinterpret_cast<iconv_t>(-1) && f == from && t == to) return handle;
    if (handle != reinterpret_cast<iconv_t>(-1)) iconv_close(handle);
    handle = iconv_open(t.c_str(), f.c_str());
    from = f;
    to = t;
    return handle;
  }
};
Converter g_decoder, g_encoder;

constexpr wchar_t kEscapeBase = 0xDC80;

void decode(std::string_view bytes, std::wstring& out, const std::string& charset) {
  std::lock_guard<std::mutex> guard(g_decoder.lock);
  iconv_t cd = g_decoder.get(charset, "WCHAR_T");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (unsigned char c : bytes) out += c < 0x80 ? static_cast<wchar_t>(c) : static_cast<wchar_t>(kEscapeBase + c);
    return;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  wchar_t buf[512];
  while (inLeft > 0) {
    char* outp = reinterpret_cast<char*>(buf);
    size_t outLeft = sizeof(buf);
    size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
    out.append(buf, (sizeof(buf) - outLeft) / sizeof(wchar_t));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or an incomplete sequence at the end: escape one byte, go on.
      out += static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(*in));
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
}

void encode(std::wstring_view text, std::string& out, const std::string& charset) {
  std::lock_guard<std::mutex> guard(g_encoder.lock);
  iconv_t cd = g_encoder.get("WCHAR_T", charset);
  size_t i = 0;
  char buf[1024];
  while (i < text.size()) {
    // Escaped bytes go back as they came; the rest goes through iconv in runs.
    wchar_t c = text[i];
    if (c >= kEscapeBase && c <= kEscapeBase + 0xFF) {
      out += static_cast<char>(c - kEscapeBase);
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && !(text[j] >= kEscapeBase && text[j] <= kEscapeBase + 0xFF)) ++j;
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      for (size_t k = i; k < j; ++k) out += text[k] < 0x80 ? static_cast<char>(text[k]) : '?';
      i = j;
      continue;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data() + i));
    size_t inLeft = (j - i) * sizeof(wchar_t);
    while (inLeft > 0) {
      char* outp = buf;
      size_t outLeft = sizeof(buf);
      size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
      out.append(buf, sizeof(buf) - outLeft);
      if (r == static_cast<size_t>(-1)) {
        if (errno == E2BIG) continue;
        // A character the charset cannot hold.
        out += '?';
        in += sizeof(wchar_t);
        inLeft -= sizeof(wchar_t);
      }
    }
    char* outp = buf;
    size_t outLeft = sizeof(buf);
    iconv(cd, nullptr, nullptr, &outp, &outLeft);
    out.append(buf, sizeof(buf) - outLeft);
    i = j;
  }
}

bool isAscii(std::string_view bytes) {
  for (unsigned char c : bytes)
    if (c >= 0x80) return false;
  return true;
}

bool isAscii(std::wstring_view text) {
  for (wchar_t c : text)
    if (static_cast<uint32_t>(c) >= 0x80) return false;
  return true;
}

}  // namespace

void initLocale() {
  std::setlocale(LC_ALL, "");
  const char* cs = nl_langinfo(CODESET);
  std::string name = cs ? cs : "";
  // "ANSI_X3.4-1968" is what the C locale reports; it is read as UTF-8.
  if (name.empty() || name == "ANSI_X3.4-1968") name = "UTF-8";
  g_charset = name;
  g_utf8 = isUtf8Name(name);
}

const std::string& ansiCharset() { return g_charset; }

void fromAnsi(std::string_view bytes, std::wstring& out) {
  if (isAscii(bytes)) {
    // Widened in place: append(first, last) of another character type would
    // build a temporary string on every call.
    const size_t start = out.size();
    out.resize(start + bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) out[start + i] = static_cast<unsigned char>(bytes[i]);
    return;
  }
  decode(bytes, out, g_utf8 ? utf8Name() : g_charset);
}

std::wstring fromAnsi(std::string_view bytes) {
  std::wstring out;
  fromAnsi(bytes, out);
  return out;
}

void toAnsi(std::wstring_view text, std::string& out) {
  if (isAscii(text)) {
    // Narrowed in place: append(first, last) of another character type would
    // build a temporary string on every call.
    const size_t start = out.size();
    out.resize(start + text.size());
    for (size_t i = 0; i < text.size(); ++i) out[start + i] = static_cast<char>(text[i]);
    return;
  }
  encode(text, out, g_utf8 ? utf8Name() : g_charset);
}

std::string toAnsi(std::wstring_view text) {
  std::string out;
  toAnsi(text, out);
  return out;
}

std::wstring fromUtf8(std::string_view bytes) {
  std::wstring out;
  if (isAscii(bytes)) return std::wstring(bytes.begin(), bytes.end());
  decode(bytes, out, "UTF-8");
  return out;
}

std::string toUtf8(std::wstring_view t) {
  std::string out;
  if (isAscii(t)) return std::string(t.begin(), t.end());
  encode(t, out, "UTF-8");
  return out;
}

std::string toUtf16le(std::wstring_view t) {
  std::string out;
  out.reserve(t.size() * 2);
  auto put = [&](uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  };
  for (wchar_t wc : t) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

std::wstring fromUtf16le(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      uint32_t lo = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    out += static_cast<wchar_t>(u);
  }
  return out;
}

std::wstring lowerAscii(std::wstring_view s) {
  std::wstring out(s);
  for (wchar_t& c : out)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return out;
}

bool equalsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return true;
}

bool startsWithTrue(std::wstring_view s) { return s.size() >= 4 && equalsIgnoreCase(s.substr(0, 4), L"true"); }

std::wstring trim(std::wstring_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::iswspace(s[b])) ++b;
  while (e > b && std::iswspace(s[e - 1])) --e;
  return std::wstring(s.substr(b, e - b));
}

long long parseLeadingInt64(std::wstring_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == L' ' || s[i] == L'\t' || s[i] == L'\n' || s[i] == L'\r' || s[i] == L'\v' || s[i] == L'\f')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) neg = s[i++] == L'-';
  unsigned long long v = 0;
  while (i < s.size() && s[i] >= L'0' && s[i] <= L'9') v = v * 10 + static_cast<unsigned>(s[i++] - L'0');
  return neg ? -static_cast<long long>(v) : static_cast<long long>(v);
}

}  // namespace text
