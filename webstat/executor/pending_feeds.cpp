#include "webstat/executor/pending_feeds.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal value of `count` digits at `p`, or -1 when one is no digit.
long long digitsAt(const char* p, size_t count) {
  long long v = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!isDigit(p[i])) return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

uint64_t makeKey(long long year, long long month, long long day, long long hour, long long minute, long long second) {
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60)
    return 0;
  return ((((static_cast<uint64_t>(year) * 100 + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second;
}

int monthOfName(const char* p) {
  static constexpr std::array<const char*, 12> names = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  for (size_t i = 0; i < names.size(); ++i)
    if (std::strncmp(p, names[i], 3) == 0) return static_cast<int>(i) + 1;
  return 0;
}

}  // namespace

bool isFeedName(const std::wstring& name, FeedGroup group) {
  if (name.size() != 3 + 17 + 4 || name.compare(20, 4, L".log") != 0) return false;
  const std::wstring prefix = name.substr(0, 3);
  const bool prefixOk = group == FeedGroup::Web ? prefix == L"web" : (prefix == L"ano" || prefix == L"ftp");
  if (!prefixOk) return false;
  return std::all_of(name.begin() + 3, name.begin() + 20, [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

FeedListing listPendingFeeds(const vfs::Directory& logs, FeedGroup group) {
  FeedListing listing;
  for (const vfs::DirEntry& e : logs.list()) {
    if (!isFeedName(e.name, group)) continue;
    (e.type == vfs::EntryType::File ? listing.feeds : listing.ignored).push_back(e.name);
  }
  // The 17-digit stamp sorts the same way within a prefix; "ano" and "ftp"
  // feeds are ordered by their stamps.
  std::sort(listing.feeds.begin(), listing.feeds.end(),
            [](const std::wstring& a, const std::wstring& b) { return a.compare(3, 17, b, 3, 17) < 0 || (a.compare(3, 17, b, 3, 17) == 0 && a < b); });
  std::sort(listing.ignored.begin(), listing.ignored.end());
  return listing;
}

uint64_t lineTimeKey(const char* line, size_t length, FeedFormat format) {
  switch (format) {
    case FeedFormat::WebalizerHttp:
      if (length < 15 || line[14] != ' ') return 0;
      return makeKey(digitsAt(line, 4), digitsAt(line + 4, 2), digitsAt(line + 6, 2), digitsAt(line + 8, 2),
                     digitsAt(line + 10, 2), digitsAt(line + 12, 2));
    case FeedFormat::AWStats:
      // "YYYY-MM-DD hh:mm:ss"
      if (length < 19 || line[4] != '-' || line[7] != '-' || line[10] != ' ' || line[13] != ':' || line[16] != ':') return 0;
      return makeKey(digitsAt(line, 4), digitsAt(line + 5, 2), digitsAt(line + 8, 2), digitsAt(line + 11, 2),
                     digitsAt(line + 14, 2), digitsAt(line + 17, 2));
    case FeedFormat::WebalizerFtp:
      // "Www MMM dd hh:mm:ss yyyy"
      if (length < 24 || line[3] != ' ' || line[7] != ' ' || line[10] != ' ' || line[13] != ':' || line[16] != ':' || line[19] != ' ')
        return 0;
      return makeKey(digitsAt(line + 20, 4), monthOfName(line + 4), digitsAt(line + 8, 2), digitsAt(line + 11, 2),
                     digitsAt(line + 14, 2), digitsAt(line + 17, 2));
  }
  return 0;
}

void MergedFeed::add(const vfs::Directory& logs, const std::wstring& name) {
  rethrowing(VLOC(L"Unable to read feed " + vfs::join(logs.path(), name), "MergedFeed::add"), [&] {
    vfs::File file = logs.openRead(name);
    std::string bytes;
    bytes.resize(static_cast<size_t>(file.size()));
    size_t length = 0;
    for (;;) {
      if (length == bytes.size()) bytes.resize(bytes.size() + 65536);
      const size_t got = file.read(bytes.data() + length, bytes.size() - length);
      if (got == 0) break;
      length += got;
    }
    bytes.resize(length);
    addBytes(bytes);
  });
}

void MergedFeed::addBytes(std::string_view bytes) {
  if (bytes.empty()) return;
  const size_t base = bytes_.size();
  bytes_.append(bytes);
  if (bytes_.back() != '\n') bytes_ += '\n';
  size_t start = base;
  while (start < bytes_.size()) {
    const size_t end = bytes_.find('\n', start) + 1;
    const size_t length = end - start;
    lines_.push_back({lineTimeKey(bytes_.data() + start, length, format_), start, length});
    start = end;
  }
}

std::string MergedFeed::sortedInput() const {
  std::vector<const Line*> order;
  order.reserve(lines_.size());
  for (const Line& line : lines_) order.push_back(&line);
  std::stable_sort(order.begin(), order.end(), [](const Line* a, const Line* b) { return a->key < b->key; });

  std::string out;
  out.reserve(bytes_.size());
  for (const Line* line : order) {
    size_t skip = 0;
    // The sort key has done its work; Webalizer reads the common-log line behind it.
    if (format_ == FeedFormat::WebalizerHttp && line->key != 0) skip = 15;
    out.append(bytes_, line->offset + skip, line->length - skip);
  }
  return out;
}

std::set<int> MergedFeed::months() const {
  std::set<int> months;
  for (const Line& line : lines_)
    if (line.key != 0) months.insert(static_cast<int>(line.key / 100000000ULL));
  return months;
}
