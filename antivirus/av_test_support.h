// Test helpers of the antivirus statistics: log files written byte for byte
// as the support library's HalvexLog writes them, and a sink that records
// the figures of a pass.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "antivirus/av_pass.h"

namespace avtest {

// stamp ("YYYY/MM/DD hh:mm:ss:mmm") + " 4242 17 " + message + "\r\n".
std::wstring logLine(std::wstring_view stamp, std::wstring_view message);

// Writes `content` as UTF-16LE, preceded by FF FE unless `byteOrderMark` is false.
void writeLogFile(const std::string& path, std::wstring_view content, bool byteOrderMark = true);

struct Record {
  std::wstring type;
  std::wstring date;
  std::wstring name;
  uint64_t count = 0;
  bool operator==(const Record&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Record& r);

// Runs a pass of that kind over the log directory and returns its figures in
// the order they were handed over; `files` receives the files to remove.
std::vector<Record> runPass(AvLogKind kind, const std::string& directory, const std::wstring& startDay,
                            std::vector<std::wstring>* files = nullptr);

}  // namespace avtest
