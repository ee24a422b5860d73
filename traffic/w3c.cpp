#include "traffic/w3c.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <utility>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/text.h"

namespace {

constexpr size_t kBufferSize = 256 * 1024;

// A buffer grown by an exceptionally long line is given back before a short
// one is read, so that one hostile line does not pin its memory for the rest
// of the file.
constexpr size_t kKeepCapacity = 1 << 20;

constexpr size_t kStraddleReserve = 16 * 1024;

// Blocks and hand-built records of the whole process share one numbering, so
// that columns cached for one file are never taken for another file's.
std::atomic<uint64_t> g_generation{0};

uint64_t nextGeneration() { return g_generation.fetch_add(1, std::memory_order_relaxed) + 1; }

// Skipped between a directive's colon and its value; CR and LF end the line.
bool isBlank(int c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool endsLine(unsigned char c) { return c == '\n' || c == '\r' || c == 0; }

// Whether any byte of the word is zero (exact; only the answer is used).
constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;
inline uint64_t zeroByteIn(uint64_t v) { return (v - kOnes) & ~v & kHighs; }

// The first CR, LF or NUL in [p, end), or end; every byte before it is ORed
// into `seen`, whose high bit then tells whether the line is all ASCII. Eight
// bytes are tested at a time, since this loop touches every byte of a log.
const char* findLineEnd(const char* p, const char* end, uint64_t& seen) {
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (zeroByteIn(w) | zeroByteIn(w ^ (kOnes * '\n')) | zeroByteIn(w ^ (kOnes * '\r'))) break;
    seen |= w;
    p += 8;
  }
  for (; p != end; ++p) {
    const unsigned char b = static_cast<unsigned char>(*p);
    if (b <= '\r' && endsLine(b)) break;
    seen |= b;
  }
  return p;
}

// Separators of columns and of field names: the ASCII white space. The server
// escapes every other blank it writes, so separating on ASCII white space
// only also keeps the columns independent of the locale.
bool isSeparator(wchar_t c) {
  const auto u = static_cast<uint32_t>(c);
  return u <= ' ' && (u == ' ' || (u >= '\t' && u <= '\r'));
}

template <class String>
void releaseIfHuge(String& s, size_t needed) {
  if (s.capacity() > kKeepCapacity && needed <= kKeepCapacity) String().swap(s);
}

}  // namespace

// ---- W3CRecord ----------------------------------------------------------

W3CRecord::W3CRecord(std::vector<std::wstring> fields, std::wstring_view line)
    : fields_(std::make_shared<const std::vector<std::wstring>>(std::move(fields))),
      generation_(nextGeneration()),
      line_(line) {
  startSplit(false);
}

const std::vector<std::wstring>& W3CRecord::noFields() {
  static const std::vector<std::wstring> none;
  return none;
}

int W3CRecord::column(std::wstring_view name) const {
  const std::vector<std::wstring>& list = fields();
  for (size_t i = list.size(); i-- > 0;)
    if (list[i] == name) return static_cast<int>(i);
  return -1;
}

std::wstring_view W3CRecord::operator()(std::wstring_view name) const {
  if (overrideCount_ != 0) {
    if (const Override* o = findOverride(name)) return o->value;
  }
  // Like a map filled column by column: of a name listed twice, the last
  // column the line has wins.
  splitAll();
  const std::vector<std::wstring>& list = fields();
  for (size_t i = std::min(list.size(), spans_.size()); i-- > 0;)
    if (list[i] == name) return splitValue(static_cast<int>(i));
  return {};
}

const W3CRecord::Override* W3CRecord::findOverride(std::wstring_view name) const {
  for (size_t i = 0; i < overrideCount_; ++i)
    if (overrides_[i].name == name) return &overrides_[i];
  return nullptr;
}

std::wstring_view W3CRecord::overriddenValue(int column) const {
  if (column >= 0) {
    for (size_t i = 0; i < overrideCount_; ++i)
      if (overrides_[i].column == column) return overrides_[i].value;
  }
  return splitValue(column);
}

void W3CRecord::set(std::wstring_view name, std::wstring_view value) {
  if (Override* o = const_cast<Override*>(findOverride(name))) {
    o->value.assign(value);
    return;
  }
  if (overrideCount_ == overrides_.size()) {
    // `value` may be a view of a short value that the growth moves.
    Override fresh{std::wstring(name), std::wstring(value), column(name)};
    overrides_.push_back(std::move(fresh));
    ++overrideCount_;
    return;
  }
  // Entries past overrideCount_ are reused, so their buffers are too.
  Override& o = overrides_[overrideCount_++];
  o.name.assign(name);
  o.value.assign(value);
  o.column = column(name);
}

void W3CRecord::startSplit(bool ascii) {
  overrideCount_ = 0;
  spans_.clear();
  splitAt_ = 0;
  splitAscii_ = ascii;
  splitDone_ = fields().empty();
}

bool W3CRecord::splitTo(size_t column) const {
  if (!splitDone_) {
    if (splitAscii_)
      splitColumns(bytes_.data(), column);
    else
      splitColumns(line_.data(), column);
  }
  return column < spans_.size();
}

// The first separator after a value ends it and every further one adds an
// empty value: "a  b" is a, "", b; a leading separator gives an empty first
// value; one trailing separator adds nothing, two add one empty value.
// Resumes where the last call stopped and stops once `column` is split.
template <class Char>
void W3CRecord::splitColumns(const Char* text, size_t column) const {
  const size_t n = line_.size();
  const size_t wanted = fields().size();
  size_t start = splitAt_;
  for (size_t i = start; i < n; ++i) {
    if constexpr (sizeof(Char) == 1 && std::endian::native == std::endian::little) {
      // ASCII text: eight bytes at a time up to the first byte below 0x21,
      // which the subtraction flags exactly (only higher bytes can be false
      // hits, through the borrow).
      for (uint64_t w; n - i >= 8; i += 8) {
        std::memcpy(&w, text + i, 8);
        if (const uint64_t low = (w - kOnes * 0x21) & ~w & kHighs) {
          i += static_cast<size_t>(std::countr_zero(low) / 8);
          break;
        }
      }
      if (i == n) break;
    }
    if (!isSeparator(static_cast<wchar_t>(text[i]))) continue;
    spans_.push_back(Span{start, i - start});
    start = i + 1;
    // Values beyond the field list are dropped, so they are not even split.
    if (spans_.size() == wanted) {
      splitDone_ = true;
      return;
    }
    if (spans_.size() > column) {
      splitAt_ = start;
      return;
    }
  }
  if (start < n) spans_.push_back(Span{start, n - start});
  splitDone_ = true;
}

void W3CRecord::assignLine(std::string_view bytes) {
  releaseIfHuge(line_, bytes.size());
  unsigned char seen = 0;
  for (const char b : bytes) seen |= static_cast<unsigned char>(b);
  if ((seen & 0x80) == 0) {
    releaseIfHuge(bytes_, bytes.size());
    bytes_.assign(bytes);
    line_.resize(bytes.size());
    wchar_t* out = line_.data();
    for (size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
    startSplit(true);
    return;
  }
  line_.clear();
  text::fromAnsi(bytes, line_);
  startSplit(false);
}

namespace {
bool isSeparatorByte(unsigned char c) { return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t'; }
}  // namespace

void W3CRecord::assignValues(std::span<const std::string_view> values) {
  size_t total = values.empty() ? 0 : values.size() - 1;
  for (const std::string_view v : values) total += v.empty() ? 1 : v.size();
  releaseIfHuge(line_, total);
  // Growing the wide line fills only what the previous line did not use.
  line_.resize(total);
  startSplit(false);
  // The columns are known as the values are copied: nothing is left to split.
  splitDone_ = true;
  const size_t wanted = fields().size();
  wchar_t* out = line_.data();
  size_t at = 0;
  unsigned char seen = 0;
  for (size_t k = 0; k < values.size(); ++k) {
    if (k != 0) out[at++] = L' ';
    const std::string_view v = values[k].empty() ? std::string_view("-") : values[k];
    // A plain loop over indices, which the compiler vectorises.
    const auto* in = reinterpret_cast<const unsigned char*>(v.data());
    wchar_t* to = out + at;
    const size_t n = v.size();
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = in[i];
      seen |= c;
      to[i] = isSeparatorByte(c) ? L'+' : static_cast<wchar_t>(c);
    }
    if (spans_.size() < wanted) spans_.push_back(Span{at, n});
    at += n;
  }
  if ((seen & 0x80) == 0) return;
  // Bytes beyond ASCII take the code page's conversion of the whole line,
  // as a line read from a file does (rare: one buffer per thread, reused).
  thread_local std::string bytes;
  releaseIfHuge(bytes, total);
  bytes.clear();
  for (size_t k = 0; k < values.size(); ++k) {
    if (k != 0) bytes += ' ';
    if (values[k].empty()) bytes += '-';
    for (const char ch : values[k]) bytes += isSeparatorByte(static_cast<unsigned char>(ch)) ? '+' : ch;
  }
  assignLine(bytes);
}

// ---- W3CReader ----------------------------------------------------------

// The state shared by a section cursor and its record cursors: the file, its
// read buffer, the current block, and the record of the current line.
class W3CReader {
 public:
  explicit W3CReader(const std::wstring& path);
  explicit W3CReader(vfs::File file);

 private:
  W3CReader(vfs::File file, const std::wstring& path);

 public:

  bool atEnd() const { return atEnd_; }
  // Skips to the next directive block and reads it, or reaches the end.
  void nextBlock();
  // Reads the next data line of the section into record(); false when the
  // section has no more.
  bool nextRecord();

  W3CRecord& record() { return record_; }
  const std::map<std::wstring, std::wstring>& directives() const { return directives_; }
  const std::vector<std::wstring>& fields() const { return record_.fields(); }
  const std::wstring& path() const { return path_; }

 private:
  // The next byte without consuming it, -1 at end of file.
  int peek() {
    if (pos_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(buffer_[pos_]);
  }
  bool refill();
  void finish();
  // Consumes bytes up to the first for which stop() holds (not consumed) or
  // the end of file, appending them to *out when out is given.
  template <class Stop>
  void consumeUntil(std::string* out, Stop stop);
  void skipLineEnds();
  void readDirective();
  void readLine();

  std::wstring path_;
  vfs::File file_;
  std::unique_ptr<char[]> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool atEnd_ = false;
  std::map<std::wstring, std::wstring> directives_;
  std::string bytes_;  // a line that straddles two buffer fills; directive text
  std::string value_;
  W3CRecord record_;
};

W3CReader::W3CReader(const std::wstring& path)
    : W3CReader(
          [&] {
            try {
              return vfs::openRead(path);
            } catch (const vexception& e) {
              throw vexception(L"Can't open file " + path, VLOC(e.message(), "W3CFile::iterator"));
            }
          }(),
          path) {}

W3CReader::W3CReader(vfs::File file) : W3CReader(std::move(file), std::wstring()) {}

W3CReader::W3CReader(vfs::File file, const std::wstring& path)
    : path_(path.empty() ? file.path() : path), file_(std::move(file)), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {
  // Room for a long line that straddles two fills, so that it need not grow
  // at the first buffer boundary it meets.
  bytes_.reserve(kStraddleReserve);
  nextBlock();
}

bool W3CReader::refill() {
  pos_ = end_ = 0;
  if (!file_.valid()) return false;
  end_ = file_.read(buffer_.get(), kBufferSize);
  if (end_ != 0) return true;
  file_.close();
  return false;
}

void W3CReader::finish() {
  file_.close();
  pos_ = end_ = 0;
  atEnd_ = true;
}

template <class Stop>
void W3CReader::consumeUntil(std::string* out, Stop stop) {
  while (pos_ != end_ || refill()) {
    const char* begin = buffer_.get() + pos_;
    const char* end = buffer_.get() + end_;
    const char* p = begin;
    while (p != end && !stop(static_cast<unsigned char>(*p))) ++p;
    if (out != nullptr) out->append(begin, p);
    pos_ = static_cast<size_t>(p - buffer_.get());
    if (p != end) return;
  }
}

void W3CReader::skipLineEnds() {
  for (int c = peek(); c == '\r' || c == '\n'; c = peek()) ++pos_;
}

void W3CReader::nextBlock() {
  if (atEnd_) return;
  for (;;) {
    int c = peek();
    if (c < 0) return finish();
    if (c == '#') break;
    // NUL padding is what a crash leaves in a log that the server had
    // extended; after a restart the server appends a new block behind it, so
    // the padding is skipped rather than taken for the end of the file.
    if (c == 0) {
      ++pos_;
      continue;
    }
    // A data line outside any section (before the first block, or left over
    // from a section the caller did not read to its end).
    consumeUntil(nullptr, endsLine);
    skipLineEnds();
  }
  directives_.clear();
  while (peek() == '#') {
    ++pos_;
    readDirective();
  }
  auto fields = std::make_shared<std::vector<std::wstring>>();
  if (auto it = directives_.find(L"Fields"); it != directives_.end()) {
    const std::wstring& list = it->second;
    size_t i = 0;
    while (i < list.size()) {
      while (i < list.size() && isSeparator(list[i])) ++i;
      size_t start = i;
      while (i < list.size() && !isSeparator(list[i])) ++i;
      if (i > start) fields->emplace_back(list, start, i - start);
    }
  }
  record_.fields_ = std::move(fields);
  record_.generation_ = nextGeneration();
}

// One "#name: value" line, the "#" already consumed. A line without a colon
// is all name with an empty value; later colons belong to the value.
void W3CReader::readDirective() {
  bytes_.clear();
  value_.clear();
  consumeUntil(&bytes_, [](unsigned char c) { return c == ':' || endsLine(c); });
  if (peek() == ':') {
    ++pos_;
    for (int c = peek(); isBlank(c); c = peek()) ++pos_;
    consumeUntil(&value_, endsLine);
  }
  if (!bytes_.empty()) directives_[text::fromAnsi(bytes_)] = text::fromAnsi(value_);
  // A NUL or the end of file ends the block here: the loop sees no "#".
  skipLineEnds();
}

bool W3CReader::nextRecord() {
  const int c = peek();
  if (c < 0) return false;
  if (c == 0) {
    ++pos_;
    return false;
  }
  if (c == '#') return false;
  readLine();
  // A NUL that ended the line is consumed with it; a NUL after the line end
  // stays, so that the next read ends the section.
  if (peek() == 0) ++pos_;
  skipLineEnds();
  return true;
}

// Reads the bytes up to CR, LF, NUL or end of file (the terminator stays)
// into the record's wide line and splits it. A line that lies wholly in the
// buffer is converted from there; only one straddling two fills is copied.
void W3CReader::readLine() {
  std::wstring& line = record_.line_;
  releaseIfHuge(bytes_, 0);
  uint64_t seen = 0;
  bool straddles = false;
  std::string_view bytes;
  for (;;) {
    const char* begin = buffer_.get() + pos_;
    const char* end = buffer_.get() + end_;
    const char* p = findLineEnd(begin, end, seen);
    pos_ = static_cast<size_t>(p - buffer_.get());
    if (p != end && !straddles) {
      bytes = std::string_view(begin, static_cast<size_t>(p - begin));
      break;
    }
    if (!straddles) {
      bytes_.clear();
      straddles = true;
    }
    bytes_.append(begin, p);
    if (p != end || !refill()) {
      bytes = bytes_;
      break;
    }
  }
  releaseIfHuge(line, bytes.size());
  if ((seen & kHighs) == 0) {
    // ASCII widens one to one; resize reuses the buffer (no allocation).
    line.resize(bytes.size());
    wchar_t* out = line.data();
    for (size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
    // The record splits its own copy of the bytes, on demand: the read
    // buffer is refilled before the caller sees the record. A straddling
    // line already has a copy of its own, which changes hands.
    if (straddles) {
      record_.bytes_.swap(bytes_);
    } else {
      releaseIfHuge(record_.bytes_, bytes.size());
      record_.bytes_.assign(bytes);
    }
    record_.startSplit(true);
    return;
  }
  line.clear();
  text::fromAnsi(bytes, line);
  record_.startSplit(false);
}

// ---- cursors ------------------------------------------------------------

W3CFile::iterator::iterator(const std::wstring& path) : reader_(std::make_unique<W3CReader>(path)) {}
W3CFile::iterator::iterator(vfs::File file) : reader_(std::make_unique<W3CReader>(std::move(file))) {}
W3CFile::iterator::iterator(iterator&&) noexcept = default;
W3CFile::iterator& W3CFile::iterator::operator=(iterator&&) noexcept = default;
W3CFile::iterator::~iterator() = default;

bool W3CFile::iterator::atEnd() const { return !reader_ || reader_->atEnd(); }

W3CFile::iterator& W3CFile::iterator::operator++() {
  if (reader_) reader_->nextBlock();
  return *this;
}

const std::map<std::wstring, std::wstring>& W3CFile::iterator::directives() const {
  static const std::map<std::wstring, std::wstring> none;
  return reader_ ? reader_->directives() : none;
}

const std::vector<std::wstring>& W3CFile::iterator::fields() const {
  static const std::vector<std::wstring> none;
  return reader_ ? reader_->fields() : none;
}

const std::wstring& W3CFile::iterator::path() const {
  static const std::wstring none;
  return reader_ ? reader_->path() : none;
}

W3CFile::record_iterator::record_iterator(iterator& section) : reader_(section.reader_.get()) {
  atEnd_ = reader_ == nullptr || reader_->atEnd() || !reader_->nextRecord();
}

W3CFile::record_iterator& W3CFile::record_iterator::operator++() {
  if (!atEnd_) atEnd_ = !reader_->nextRecord();
  return *this;
}

W3CRecord& W3CFile::record_iterator::operator*() const { return reader_->record(); }
