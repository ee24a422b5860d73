// The feeds waiting in a domain's logs directory, and their lines merged
// into one time-ordered input for an analyser.
//
// Both analysers drop a line much older than the newest they have seen, and
// a run writes its feed in the order it read the logs, so all pending feeds
// of a domain and kind are merged and sorted by time before the analyser
// reads them.
//
// The merge streams: a feed is read in blocks, a line longer than
// kMaxFeedLine is unusable, and the lines held for sorting never exceed the
// memory limit: beyond it they are sorted and spilled to a run file in the
// executor's own state directory, and the runs are merged at the end. So a
// huge (or sparse) tenant file costs its reading time, not its size in
// memory.
//
// Every line is made ready for the analyser on the way:
// - a line without a usable time, or whose fields do not have the layout of
//   its format, is left out and counted: it would only be dropped by the
//   analyser, and AWStats gives up on an input whose first lines are all
//   unusable;
// - a line in the other analyser's format (feeds written before the
//   domain's analyser was switched) is converted; fields that the other
//   format does not carry become "-" (or their documented defaults);
// - Webalizer lines get the user name in the authenticated-user column,
//   where Webalizer reports users (the feed has it in the ident column);
// - Webalizer shows several fields in its HTML unescaped, and decodes
//   percent escapes in user names and search strings first, so markup
//   characters (< > " ' and control bytes), raw or percent-encoded, are
//   given to it encoded once more: the report shows them as escapes;
// - AWStats FTP lines carry sc-bytes + cs-bytes in the sc-bytes column,
//   which is the one AWStats counts, so an upload's bytes count as in
//   Webalizer (the transfer's bytes, in + out);
// - AWStats HTTP lines get defaults for what a log with few fields (say
//   "#Fields: date c-ip cs-uri-stem cs-bytes") leaves "-": the method GET,
//   the status 200 and the user agent "not-logged" (no robot's name), so
//   that AWStats counts such a line as Webalizer does instead of dropping
//   it, filing it as an error, or as a robot; a line without a time (the
//   log has no time field) is taken at 00:00:00 of its date.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vfs {
class Directory;
class File;
}

// What an AWStats HTTP line carries for a field the log left "-".
inline constexpr const char* kAWStatsDefaultMethod = "GET";
inline constexpr const char* kAWStatsDefaultStatus = "200";
inline constexpr const char* kAWStatsDefaultUserAgent = "not-logged";

// HTTP feeds ("web") and FTP feeds ("ano" and "ftp", analysed together).
enum class FeedGroup { Web, Ftp };

// The lines' layout, which says where the time is.
enum class FeedFormat {
  WebalizerHttp,  // "YYYYMMDDhhmmss " + a common-log line
  WebalizerFtp,   // xferlog: "Www MMM dd hh:mm:ss yyyy ..."
  AWStats,        // "YYYY-MM-DD hh:mm:ss ..." (local time) + 20 W3C fields
};

// Whether an entry name is a feed of the group: the prefix, 17 digits, ".log".
bool isFeedName(const std::wstring& name, FeedGroup group);

struct FeedListing {
  std::vector<std::wstring> feeds;    // regular files, oldest first (by name)
  std::vector<std::wstring> ignored;  // feed names that are links or no regular file
};

// The group's feeds in an open logs directory.
FeedListing listPendingFeeds(const vfs::Directory& logs, FeedGroup group);

// Checks a file opened in a tenant's directory through its descriptor: a
// regular file with one link, owned by root or by the directory's owner.
// Raises naming `path` otherwise.
void checkOpenedTenantFile(const vfs::File& file, const vfs::Directory& directory, const std::wstring& path);

// The time of a line as the number YYYYMMDDhhmmss; 0 when the line does not
// start with a time in the format.
uint64_t lineTimeKey(const char* line, size_t length, FeedFormat format);

// A line longer than this (without its line end) is unusable.
inline constexpr size_t kMaxFeedLine = 64 * 1024;

// What the lines of one feed (or of one addBytes) gave.
struct FeedLineCounts {
  size_t usable = 0;     // in the merge, converted ones included
  size_t converted = 0;  // were in the other analyser's format
  size_t unusable = 0;   // left out
};

class MergedFeed {
 public:
  // Lines for `format`; `domainName` fills an FTP line's cs-host when a
  // Webalizer line is converted. Spilled runs go to `scratchDirectory`
  // (the executor's own); with an empty one nothing is spilled.
  MergedFeed(FeedFormat format, FeedGroup group, std::wstring domainName = L"", std::wstring scratchDirectory = L"",
             size_t memoryLimit = 32u << 20);
  ~MergedFeed();
  MergedFeed(const MergedFeed&) = delete;
  MergedFeed& operator=(const MergedFeed&) = delete;

  // Streams the lines of a feed, read through the open directory (checked as
  // by checkOpenedTenantFile). Raises naming the feed; the lines of a feed
  // that fails part-way are kept, the caller drops the whole merge.
  FeedLineCounts add(const vfs::Directory& logs, const std::wstring& name);
  // The lines of the bytes given, as those of a feed.
  FeedLineCounts addBytes(std::string_view bytes);

  // The usable lines, stably sorted by time, each ending in LF, handed to
  // `sink` in pieces.
  void writeSorted(const std::function<void(std::string_view)>& sink);
  // The same into a new file of the executor's own.
  void writeSortedTo(const std::wstring& path);
  // The same as one string (small inputs, tests).
  std::string sortedInput();

  // The months (YYYYMM) the usable lines fall in.
  const std::set<int>& months() const { return months_; }
  size_t lineCount() const { return lineCount_; }
  // How many runs were spilled to the scratch directory.
  size_t spilledRuns() const { return runs_.size(); }

 private:
  struct Line {
    uint64_t key;
    uint64_t sequence;
    size_t offset;
    size_t length;
  };
  void addLine(std::string_view line, FeedLineCounts& counts);
  void spill();
  void sortHeld();

  FeedFormat format_;
  FeedGroup group_;
  std::string domainName_;
  std::wstring scratchDirectory_;
  size_t memoryLimit_;
  std::string bytes_;
  std::vector<Line> lines_;
  std::vector<std::wstring> runs_;
  std::set<int> months_;
  size_t lineCount_ = 0;
  uint64_t sequence_ = 0;
  std::string scratchLine_;
};
