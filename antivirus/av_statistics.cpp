#include "antivirus/av_statistics.h"

#include "antivirus/av_pass.h"
#include "app/results_writer.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"

namespace {

void runPass(AvLogKind kind, ResultsWriter& results, const std::wstring& startDay, std::vector<std::wstring>& filesToRemove) {
  const AvRecordSink sink = [&results](const std::wstring& type, const std::wstring& date, const std::wstring& name, uint64_t count) {
    results.writeAntivirus(type, date, name, count);
  };
  runAvStatisticsPass(kind, statisticLogDirectory(), startDay, sink, filesToRemove);
}

}  // namespace

std::wstring statisticLogDirectory() { return vfs::join(vfs::join(getProductRoot(), L"admin"), L"logs"); }

void antivirusStatistics(ResultsWriter& results, const std::wstring& startDay, std::vector<std::wstring>& filesToRemove) {
  rethrowing(VLOC(L"Collect antivirus statistics", "avstatistics::antivirus"),
             [&] { runPass(AvLogKind::Antivirus, results, startDay, filesToRemove); });
}

void spamStatistics(ResultsWriter& results, const std::wstring& startDay, std::vector<std::wstring>& filesToRemove) {
  rethrowing(VLOC(L"Collect spam statistics", "avstatistics::spam"), [&] { runPass(AvLogKind::Spam, results, startDay, filesToRemove); });
}

void removeStatisticLogs(const std::vector<std::wstring>& files) noexcept {
  for (const std::wstring& path : files)
    guarded(
        LogLevel::Warning, [&] { return VLOC(vaformat(L"Failed to remove log file %s", path), "avstatistics::cleanup"); },
        [&] { vfs::forcedRemove(path); });
}
