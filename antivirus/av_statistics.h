// The antivirus and spam statistics step of a run: the figures of the mail
// antivirus log ("avstat") and the spam filter log ("spamstat") go into the
// results document as "av" elements, and the files read are removed once the
// document has been delivered.
//
// The run driver calls, under the "AntivirusLockStatus" lock:
//   std::vector<std::wstring> avFiles, spamFiles;
//   antivirusStatistics(results, params["LastAntivirusStatisticLog"], avFiles);
//   (register removeStatisticLogs(avFiles) as the commit removal of avFiles)
//   spamStatistics(results, params["LastSpamStatisticLog"], spamFiles);
//   (register removeStatisticLogs(spamFiles) as the commit removal of spamFiles)
// Each pass's removal is registered on that pass's own success, and runs
// only after the results document is complete, so that figures delivered are
// never counted again and files whose figures were not delivered stay for
// the next run. When the antivirus pass raises, the spam pass is not run.
// A pass reads its log's files only after setting them aside (see
// setAsideStatisticLogs), so what it removes is exactly what it read.
#pragma once

#include <string>
#include <vector>

class ResultsWriter;

// <PRODUCT_ROOT_D>/admin/logs, where both logs lie.
std::wstring statisticLogDirectory();

// Counts the "avstat" files and writes the "summary", "recipients" and
// "viruses" figures (see AvStatisticsPass for the counting rules). `startDay`
// ("YYYY-MM-DD" or empty) is the first day counted. On success the
// set-aside files read are appended to `filesToRemove`; a failure (an
// unreadable file, a results writer error) raises with the location
// "avstatistics::antivirus", and the list is left as it was.
void antivirusStatistics(ResultsWriter& results, const std::wstring& startDay, std::vector<std::wstring>& filesToRemove);

// The same over the "spamstat" files with the figures "spam_summary" and
// "spam_recipients"; location "avstatistics::spam".
void spamStatistics(ResultsWriter& results, const std::wstring& startDay, std::vector<std::wstring>& filesToRemove);

// Removes the files with the forced removal of the file layer (a missing
// file counts as removed). A file that cannot be removed is logged at level
// Warning with the context "Failed to remove log file " + path and the
// function "avstatistics::cleanup", and the next file follows. Never raises.
void removeStatisticLogs(const std::vector<std::wstring>& files) noexcept;
