// The feeds waiting in a domain's logs directory, and their lines merged
// into one time-ordered input for an analyser.
//
// Both analysers drop a line much older than the newest they have seen, and
// a run writes its feed in the order it read the logs, so all pending feeds
// of a domain and kind are merged and sorted by time before the analyser
// reads them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vfs {
class Directory;
}

// HTTP feeds ("web") and FTP feeds ("ano" and "ftp", analysed together).
enum class FeedGroup { Web, Ftp };

// The lines' layout, which says where the time is.
enum class FeedFormat {
  WebalizerHttp,  // "YYYYMMDDhhmmss " + a common-log line
  WebalizerFtp,   // xferlog: "Www MMM dd hh:mm:ss yyyy ..."
  AWStats,        // "YYYY-MM-DD hh:mm:ss ..."
};

// Whether an entry name is a feed of the group: the prefix, 17 digits, ".log".
bool isFeedName(const std::wstring& name, FeedGroup group);

struct FeedListing {
  std::vector<std::wstring> feeds;    // regular files, oldest first (by name)
  std::vector<std::wstring> ignored;  // feed names that are links or no regular file
};

// The group's feeds in an open logs directory.
FeedListing listPendingFeeds(const vfs::Directory& logs, FeedGroup group);

// The time of a line as the number YYYYMMDDhhmmss; 0 when the line does not
// start with a time in the format.
uint64_t lineTimeKey(const char* line, size_t length, FeedFormat format);

class MergedFeed {
 public:
  explicit MergedFeed(FeedFormat format) : format_(format) {}

  // Appends the lines of a feed, read through the open directory (a link or
  // another non-regular entry is refused). Raises naming the feed.
  void add(const vfs::Directory& logs, const std::wstring& name);
  // Appends lines from memory (the feed's bytes).
  void addBytes(std::string_view bytes);

  // All lines, stably sorted by time, each ending in its own line end (LF
  // added to a last line without one). Webalizer HTTP lines lose their sort
  // key and its blank. Lines without a time come first, as they were.
  std::string sortedInput() const;
  // The months (YYYYMM) the lines fall in.
  std::set<int> months() const;
  size_t lineCount() const { return lines_.size(); }

 private:
  struct Line {
    uint64_t key;
    size_t offset;
    size_t length;  // with the line end
  };
  FeedFormat format_;
  std::string bytes_;
  std::vector<Line> lines_;
};
