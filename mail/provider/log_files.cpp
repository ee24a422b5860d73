#include "mail/provider/log_files.h"

#include <zlib.h>

#include <algorithm>
#include <cwctype>

#include "support/exceptions.h"

namespace mailprovider {

namespace {

constexpr const char* kReadFunction = "mailprovider::readLines";

bool endsWith(std::wstring_view s, std::wstring_view suffix) { return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix; }

// "<base>.<digits>" or "<base>-<digits>", with or without ".gz".
bool isRotatedName(std::wstring_view name, std::wstring_view base) {
  if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base) return false;
  std::wstring_view rest = name.substr(base.size());
  if (rest[0] != L'.' && rest[0] != L'-') return false;
  rest.remove_prefix(1);
  if (endsWith(rest, L".gz")) rest.remove_suffix(3);
  return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// Splits a stream of bytes into lines.
class LineSplitter {
 public:
  LineSplitter(const std::function<void(std::string_view)>& onLine, size_t maxLine) : onLine_(onLine), maxLine_(maxLine) {}

  void feed(const char* data, size_t n) {
    std::string_view chunk(data, n);
    while (!chunk.empty()) {
      const size_t nl = chunk.find('\n');
      const std::string_view part = chunk.substr(0, nl);
      if (!dropping_) {
        const size_t room = maxLine_ - std::min(maxLine_, partial_.size());
        partial_.append(part.substr(0, room));
        if (part.size() > room) dropping_ = true;
      }
      if (nl == std::string_view::npos) return;
      emit();
      chunk.remove_prefix(nl + 1);
    }
  }
  void finish() {
    if (!partial_.empty()) emit();
  }

 private:
  void emit() {
    onLine_(partial_);
    partial_.clear();
    dropping_ = false;
  }
  const std::function<void(std::string_view)>& onLine_;
  size_t maxLine_;
  std::string partial_;
  bool dropping_ = false;
};

void readPlain(vfs::File& file, LineSplitter& lines) {
  std::vector<char> buffer(1 << 16);
  while (const size_t n = file.read(buffer.data(), buffer.size())) lines.feed(buffer.data(), n);
}

void readGzip(vfs::File& file, LineSplitter& lines) {
  z_stream z{};
  // 15 + 32: a gzip or zlib header, detected.
  if (inflateInit2(&z, 15 + 32) != Z_OK) throw vexception(L"Unable to start decompression of " + file.path(), VLOC(L"", kReadFunction));
  std::vector<unsigned char> in(1 << 16), out(1 << 16);
  bool streamEnd = false;
  try {
    for (;;) {
      if (z.avail_in == 0) {
        const size_t n = file.read(in.data(), in.size());
        if (n == 0) break;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(n);
      }
      if (streamEnd) {
        // Another gzip member follows (files joined with cat).
        inflateReset(&z);
        streamEnd = false;
      }
      // Until the output buffer is no longer filled: then the input is used up.
      do {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
          throw vexception(L"Corrupt compressed data in " + file.path(), VLOC(L"", kReadFunction));
        lines.feed(reinterpret_cast<const char*>(out.data()), out.size() - z.avail_out);
        if (rc == Z_STREAM_END) {
          streamEnd = true;
          break;
        }
      } while (z.avail_out == 0);
    }
  } catch (...) {
    inflateEnd(&z);
    throw;
  }
  inflateEnd(&z);
  if (!streamEnd) throw vexception(L"Truncated compressed data in " + file.path(), VLOC(L"", kReadFunction));
}

}  // namespace

std::vector<MailLogFile> findMailLogFiles(const std::wstring& activePath) {
  const std::wstring directory = vfs::parentDirectory(activePath);
  const std::wstring base = vfs::fileName(activePath);
  std::vector<MailLogFile> rotated;
  MailLogFile active;
  bool haveActive = false;
  for (const vfs::DirEntry& e : vfs::listDirectory(directory.empty() ? L"/" : directory)) {
    if (e.type != vfs::EntryType::File) continue;
    const std::wstring path = vfs::join(directory, e.name);
    if (e.name == base) {
      active = MailLogFile{path, false, false, e.lastWrite};
      haveActive = true;
    } else if (isRotatedName(e.name, base)) {
      rotated.push_back(MailLogFile{path, true, endsWith(e.name, L".gz"), e.lastWrite});
    }
  }
  std::sort(rotated.begin(), rotated.end(), [](const MailLogFile& a, const MailLogFile& b) {
    return a.lastWrite != b.lastWrite ? a.lastWrite < b.lastWrite : a.path < b.path;
  });
  if (haveActive) rotated.push_back(active);
  return rotated;
}

void readLines(const MailLogFile& file, const std::function<void(std::string_view)>& onLine, size_t maxLine) {
  vfs::File opened = vfs::openRead(file.path);
  LineSplitter lines(onLine, maxLine);
  if (file.compressed)
    readGzip(opened, lines);
  else
    readPlain(opened, lines);
  lines.finish();
}

}  // namespace mailprovider
