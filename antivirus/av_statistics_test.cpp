#include "antivirus/av_statistics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "antivirus/av_log_writer.h"
#include "antivirus/av_pass.h"
#include "antivirus/av_test_support.h"
#include "app/results_writer.h"
#include "support/logging.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

const AvLogEntry kInfected{L"infected", L"from sender@example.com", L"\"Doe, John\" <John.DOE@Example.COM>, bare@example.org", L"Worm.X"};


}  // namespace

TEST(AvStatisticsTest, RemovesTheFilesOfAPassAndNothingElse) {
  testkit::Installation install;
  const std::string logs = install.logsDir();
  avtest::writeLogFile(logs + "/halvexlog_avstat20240301.log", avtest::logLine(L"2024/03/01 10:00:00:000", formatAvLogMessage(kInfected)));
  avtest::writeLogFile(logs + "/halvexlog_avstat20240302.log", L"");
  avtest::writeLogFile(logs + "/halvexlog_spamstat20240301.log", L"");
  std::vector<std::wstring> files;
  ASSERT_EQ(avtest::runPass(AvLogKind::Antivirus, logs, L"", &files).size(), 4u);

  removeStatisticLogs(files);
  EXPECT_FALSE(testkit::fileExists(logs + "/halvexlog_avstat20240301.log"));
  EXPECT_FALSE(testkit::fileExists(logs + "/halvexlog_avstat20240302.log"));
  EXPECT_TRUE(testkit::fileExists(logs + "/halvexlog_spamstat20240301.log"));
}

TEST(AvStatisticsTest, WarnsAboutAFileItCannotRemoveAndGoesOn) {
  testkit::Installation install;
  const std::string logs = install.logsDir();
  // A directory under a log file's name cannot be removed as a file.
  const std::string stuck = logs + "/halvexlog_avstat20240301.log";
  std::filesystem::create_directory(stuck);
  const std::string next = logs + "/halvexlog_avstat20240302.log";
  avtest::writeLogFile(next, L"");
  const std::string gone = logs + "/halvexlog_avstat20240303.log";

  testkit::LogCapture capture{LogLevel::Warning};
  removeStatisticLogs({text::fromAnsi(stuck), text::fromAnsi(next), text::fromAnsi(gone)});
  const std::string warnings = capture.text();
  EXPECT_EQ(testkit::occurrences(warnings, "Failed to remove log file"), 1u) << warnings;
  EXPECT_NE(warnings.find("at Failed to remove log file " + stuck + "(avstatistics::cleanup line "), std::string::npos) << warnings;
  EXPECT_TRUE(std::filesystem::is_directory(stuck));
  EXPECT_FALSE(testkit::fileExists(next));
}

TEST(AvStatisticsTest, WritesAvElementsIntoTheResultsDocument) {
  testkit::Installation install;
  appendAvLogEntry(kAntivirusLogName, kInfected);
  appendAvLogEntry(kAntivirusLogName, {L"clean", L"", L"someone@example.org", L""});
  appendAvLogEntry(kSpamLogName, kInfected);
  ASSERT_EQ(statisticLogDirectory(), text::fromAnsi(install.logsDir()));

  const std::string output = install.path("results.xml");
  std::vector<std::wstring> files;
  {
    ResultsWriter results;
    results.setOutputFile(text::fromAnsi(output));
    results.beginDocument();
    antivirusStatistics(results, L"", files);
    spamStatistics(results, L"", files);
    results.endDocument();
  }
  ASSERT_EQ(files.size(), 2u);

  const std::string xml = testkit::readFile(output);
  const auto count = [&xml](const std::string& type, const std::string& name) {
    const std::regex element("<av type=\"" + type + "\" date=\"\\d{4}-\\d\\d-\\d\\d\" name=\"" + name + "\" value=\"1\"");
    return std::distance(std::sregex_iterator(xml.begin(), xml.end(), element), std::sregex_iterator());
  };
  EXPECT_EQ(count("summary", "infected"), 1) << xml;
  EXPECT_EQ(count("summary", "clean"), 1) << xml;
  EXPECT_EQ(count("recipients", "john\\.doe@example\\.com"), 1) << xml;
  EXPECT_EQ(count("recipients", "bare@example\\.org"), 1) << xml;
  EXPECT_EQ(count("viruses", "Worm\\.X"), 1) << xml;
  EXPECT_EQ(count("spam_summary", "infected"), 1) << xml;
  EXPECT_EQ(count("spam_recipients", "bare@example\\.org"), 1) << xml;
  EXPECT_EQ(count("spam_recipients", "john\\.doe@example\\.com"), 1) << xml;
  EXPECT_EQ(testkit::occurrences(xml, "viruses"), 1u) << xml;
  EXPECT_EQ(testkit::occurrences(xml, "<av "), 8u) << xml;

  removeStatisticLogs(files);
  for (const std::wstring& file : files) EXPECT_FALSE(testkit::fileExists(text::toAnsi(file)));
}

TEST(AvLogWriterTest, RefusesEntriesThatWouldBeReadBackWrong) {
  EXPECT_EQ(formatAvLogMessage(kInfected),
            L"infected\tfrom sender@example.com\t\"Doe, John\" <John.DOE@Example.COM>, bare@example.org\tWorm.X");
  EXPECT_THROW(formatAvLogMessage({L"clean", L"a\tb", L"", L""}), vexception);
  EXPECT_THROW(formatAvLogMessage({L"clean", L"", L"a@b\r\nc@d", L""}), vexception);
  EXPECT_THROW(formatAvLogMessage({L"infected", L"", L"", L"Worm\n"}), vexception);
  EXPECT_THROW(formatAvLogMessage({L"not a word", L"", L"", L""}), vexception);
  EXPECT_THROW(formatAvLogMessage({L"", L"", L"", L""}), vexception);
}
