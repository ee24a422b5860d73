#include "mail/provider/log_files.h"

#include <zlib.h>

#include <algorithm>
#include <cwctype>
#include <set>

#include "support/exceptions.h"
#include "support/process.h"
#include "support/text.h"

namespace mailprovider {

namespace {

constexpr const char* kReadFunction = "mailprovider::readLines";

bool endsWith(std::wstring_view s, std::wstring_view suffix) { return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix; }

constexpr std::pair<std::wstring_view, Compression> kCompressions[] = {
    {L".gz", Compression::Gzip}, {L".xz", Compression::Xz}, {L".bz2", Compression::Bzip2}, {L".zst", Compression::Zstd}};

Compression compressionOf(std::wstring_view name) {
  for (const auto& [suffix, kind] : kCompressions)
    if (endsWith(name, suffix)) return kind;
  return Compression::None;
}

// "<base>" then "." or "-", then digits with "-", "_" or "." between them
// (a rotation number, or a date and time of any dateformat), then
// optionally a compression suffix.
bool isRotatedName(std::wstring_view name, std::wstring_view base) {
  if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base) return false;
  std::wstring_view rest = name.substr(base.size());
  if (rest[0] != L'.' && rest[0] != L'-') return false;
  rest.remove_prefix(1);
  for (const auto& [suffix, kind] : kCompressions)
    if (endsWith(rest, suffix)) {
      rest.remove_suffix(suffix.size());
      break;
    }
  if (rest.empty() || !(rest.front() >= L'0' && rest.front() <= L'9') || !(rest.back() >= L'0' && rest.back() <= L'9')) return false;
  return std::all_of(rest.begin(), rest.end(), [](wchar_t c) { return (c >= L'0' && c <= L'9') || c == L'-' || c == L'_' || c == L'.'; });
}

// Splits a stream of bytes into lines.
class LineSplitter {
 public:
  LineSplitter(const std::function<void(std::string_view)>& onLine, size_t maxLine) : onLine_(onLine), maxLine_(maxLine) {}
  uint64_t overlong = 0;

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
    if (dropping_)
      ++overlong;  // a part of a line could be misread: none of it is
    else
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
          throw DamagedLogError(L"Corrupt compressed data in " + file.path(), VLOC(L"", kReadFunction));
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
  if (!streamEnd) throw DamagedLogError(L"Truncated compressed data in " + file.path(), VLOC(L"", kReadFunction));
}

struct Decompressor {
  const wchar_t* program;
  const wchar_t* package;  // Debian's
  std::vector<std::wstring> args;
};

Decompressor decompressorOf(Compression compression) {
  // Memory limits lifted: a limit set in the environment (XZ_DEFAULTS) or
  // zstd's default would fail a file whose data is whole, and that failure
  // would look like damage.
  switch (compression) {
    case Compression::Xz:
      return {L"xz", L"xz-utils", {L"--decompress", L"--stdout", L"--memlimit-decompress=0"}};
    case Compression::Bzip2:
      return {L"bzip2", L"bzip2", {L"--decompress", L"--stdout"}};
    case Compression::Zstd:
      return {L"zstd", L"zstd", {L"--decompress", L"--stdout", L"--quiet", L"--memory=2048MiB"}};
    default:
      throw vexception(L"No decompressor for this compression", VLOC(L"", kReadFunction));
  }
}

// Streamed through the decompressor: the file we opened is its standard
// input (no path looked up again), its output is split into lines as it
// comes.
void readDecompressed(vfs::File& file, Compression compression, const std::wstring& directory, LineSplitter& lines) {
  const Decompressor d = decompressorOf(compression);
  const std::wstring program = vfs::join(directory, d.program);
  const std::wstring what = L"the mail log " + file.path() + L" with " + program + L" (package " + d.package + L")";
  process::RunOptions options;
  options.standardInput = file.fd();
  options.timeoutSeconds = kDecompressorTimeoutSeconds;
  bool linesFailed = false;
  options.onOutput = [&](const char* data, size_t n) {
    try {
      lines.feed(data, n);
    } catch (...) {
      linesFailed = true;
      throw;
    }
  };
  process::RunResult result;
  try {
    result = process::run(program, d.args, options);
  } catch (const vexception& e) {
    if (linesFailed) throw;
    throw vexception(L"Unable to decompress " + what + L": " + e.message(), VLOC(L"", kReadFunction));
  }
  const std::wstring said = text::trim(text::fromAnsi(result.output));
  if (result.timedOut)
    throw vexception(L"Decompressing " + what + L" took longer than " + std::to_wstring(kDecompressorTimeoutSeconds) + L" seconds: stopped",
                     VLOC(L"", kReadFunction));
  // Killed by a signal (128 + its number): the data may be whole.
  if (result.exitCode > 128)
    throw vexception(L"Decompressing " + what + L" was ended by signal " + std::to_wstring(result.exitCode - 128) + (said.empty() ? L"" : L": " + said),
                     VLOC(L"", kReadFunction));
  if (result.exitCode != 0)
    throw DamagedLogError(L"Damaged compressed data in " + file.path() + L": " + program + L" ended with exit code " +
                              std::to_wstring(result.exitCode) + (said.empty() ? L"" : L": " + said),
                          VLOC(L"", kReadFunction));
}

}  // namespace

std::vector<OpenedMailLog> openMailLogFiles(const std::wstring& activePath) {
  const std::wstring directory = vfs::parentDirectory(activePath);
  const std::wstring base = vfs::fileName(activePath);
  const vfs::Directory dir = vfs::Directory::open(directory.empty() ? L"/" : directory);
  std::vector<std::wstring> names;
  for (const vfs::DirEntry& e : dir.list())
    if (e.type == vfs::EntryType::File && (e.name == base || isRotatedName(e.name, base))) names.push_back(e.name);
  std::set<std::wstring> listed(names.begin(), names.end());

  std::vector<OpenedMailLog> rotated, active;
  std::set<std::pair<uint64_t, uint64_t>> seen;
  for (const std::wstring& name : names) {
    const Compression compression = compressionOf(name);
    // Being compressed: the plain file is whole, the compressed one not yet.
    if (compression != Compression::None && listed.contains(name.substr(0, name.rfind(L'.')))) continue;
    vfs::File opened;
    try {
      opened = dir.openRead(name);
    } catch (const vexception&) {
      // Rotated away or removed since the listing: what it was is read
      // under its new name, or was the active log.
      if (!dir.exists(name)) continue;
      throw;
    }
    const vfs::DirEntry info = opened.info();
    if (!seen.insert({info.device, info.inode}).second) continue;
    MailLogFile file{vfs::join(directory, name), name != base, compression, info.lastWrite, info.device, info.inode};
    (name == base ? active : rotated).push_back(OpenedMailLog{std::move(file), std::move(opened)});
  }
  std::sort(rotated.begin(), rotated.end(), [](const OpenedMailLog& a, const OpenedMailLog& b) {
    return a.file.lastWrite != b.file.lastWrite ? a.file.lastWrite < b.file.lastWrite : a.file.path < b.file.path;
  });
  for (OpenedMailLog& a : active) rotated.push_back(std::move(a));
  return rotated;
}

ReadCounts readLines(OpenedMailLog& log, const std::function<void(std::string_view)>& onLine, size_t maxLine,
                     const std::wstring& decompressors) {
  LineSplitter lines(onLine, maxLine);
  switch (log.file.compression) {
    case Compression::None:
      readPlain(log.opened, lines);
      break;
    case Compression::Gzip:
      readGzip(log.opened, lines);
      break;
    case Compression::Xz:
    case Compression::Bzip2:
    case Compression::Zstd:
      readDecompressed(log.opened, log.file.compression, decompressors, lines);
      break;
  }
  lines.finish();
  return ReadCounts{lines.overlong};
}

}  // namespace mailprovider
