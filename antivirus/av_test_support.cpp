#include "antivirus/av_test_support.h"

#include "support/text.h"
#include "tests/testkit.h"

namespace avtest {

std::wstring logLine(std::wstring_view stamp, std::wstring_view message) {
  return std::wstring(stamp) + L" 4242 17 " + std::wstring(message) + L"\r\n";
}

void writeLogFile(const std::string& path, std::wstring_view content, bool byteOrderMark) {
  testkit::writeFile(path, (byteOrderMark ? std::string("\xFF\xFE") : std::string()) + text::toUtf16le(content));
}

std::ostream& operator<<(std::ostream& out, const Record& r) {
  return out << "{" << text::toUtf8(r.type) << ", " << text::toUtf8(r.date) << ", " << text::toUtf8(r.name) << ", " << r.count << "}";
}

std::vector<Record> runPass(AvLogKind kind, const std::string& directory, const std::wstring& startDay, std::vector<std::wstring>* files) {
  std::vector<Record> records;
  const AvRecordSink sink = [&records](const std::wstring& type, const std::wstring& date, const std::wstring& name, uint64_t count) {
    records.push_back({type, date, name, count});
  };
  std::vector<std::wstring> ignored;
  runAvStatisticsPass(kind, text::fromAnsi(directory), startDay, sink, files ? *files : ignored);
  return records;
}

}  // namespace avtest
