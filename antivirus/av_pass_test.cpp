#include "antivirus/av_pass.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "antivirus/av_log_reader.h"
#include "antivirus/av_test_support.h"
#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"

using avtest::logLine;
using avtest::Record;
using Records = std::vector<Record>;

namespace {

// A display name with a comma, an angle address in capitals and a bare address.
const std::wstring kInfected =
    L"infected\tfrom sender@example.com\t\"Doe, John\" <John.DOE@Example.COM>, Bare@Example.org\tEICAR-Test-Signature";
const std::wstring kClean = L"clean\tfrom sender@example.com\tjohn.doe@example.com\t";

class AvPassTest : public ::testing::Test {
 protected:
  std::string logs() const { return install_.logsDir(); }
  std::string file(const std::string& name) const { return logs() + "/" + name; }
  void write(const std::string& name, const std::wstring& content) const { avtest::writeLogFile(file(name), content); }
  Records pass(AvLogKind kind, const std::wstring& startDay = L"", std::vector<std::wstring>* files = nullptr) const {
    return avtest::runPass(kind, logs(), startDay, files);
  }

 private:
  testkit::Installation install_;
};

Records cleanCount(const std::wstring& date, uint64_t count) { return {{L"summary", date, L"clean", count}}; }

}  // namespace

TEST_F(AvPassTest, CountsAnInfectedMessageIntoEveryFigure) {
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/01 10:00:00:000", kInfected) + logLine(L"2024/03/01 10:00:01:000", kClean));
  std::vector<std::wstring> files;
  EXPECT_EQ(pass(AvLogKind::Antivirus, L"", &files), (Records{
                                                         {L"summary", L"2024-03-01", L"clean", 1},
                                                         {L"summary", L"2024-03-01", L"infected", 1},
                                                         {L"recipients", L"2024-03-01", L"bare@example.org", 1},
                                                         {L"recipients", L"2024-03-01", L"john.doe@example.com", 1},
                                                         {L"viruses", L"2024-03-01", L"EICAR-Test-Signature", 1},
                                                     }));
  EXPECT_EQ(files, std::vector<std::wstring>{text::fromAnsi(file("halvexlog_avstat.counting.0000000001.20240301"))});
  EXPECT_FALSE(testkit::fileExists(file("halvexlog_avstat20240301.log"))) << "read only once set aside";
}

TEST_F(AvPassTest, SpamPassCountsSummaryAndRecipientsButNoViruses) {
  write("halvexlog_spamstat20240301.log", logLine(L"2024/03/01 10:00:00:000", kInfected) + logLine(L"2024/03/01 11:00:00:000", kInfected));
  // The other log's file is not the spam pass's business.
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/01 10:00:00:000", kClean));
  std::vector<std::wstring> files;
  EXPECT_EQ(pass(AvLogKind::Spam, L"", &files), (Records{
                                                    {L"spam_summary", L"2024-03-01", L"infected", 2},
                                                    {L"spam_recipients", L"2024-03-01", L"bare@example.org", 2},
                                                    {L"spam_recipients", L"2024-03-01", L"john.doe@example.com", 2},
                                                }));
  EXPECT_EQ(files, std::vector<std::wstring>{text::fromAnsi(file("halvexlog_spamstat.counting.0000000001.20240301"))});
  EXPECT_TRUE(testkit::fileExists(file("halvexlog_avstat20240301.log")));
}

TEST_F(AvPassTest, SkipsDaysBeforeTheStartDayAndCountsTheStartDay) {
  write("halvexlog_avstat20240228.log", logLine(L"2024/02/28 23:59:59:999", kClean) + logLine(L"2024/03/01 00:00:00:000", kClean) +
                                            logLine(L"2024/03/02 08:00:00:000", kClean) + logLine(L"2024/03/02 09:00:00:000", kClean));
  EXPECT_EQ(pass(AvLogKind::Antivirus, L"2024-03-01"), (Records{cleanCount(L"2024-03-01", 1)[0], cleanCount(L"2024-03-02", 2)[0]}));
  EXPECT_EQ(pass(AvLogKind::Antivirus, L""),
            (Records{cleanCount(L"2024-02-28", 1)[0], cleanCount(L"2024-03-01", 1)[0], cleanCount(L"2024-03-02", 2)[0]}));
  EXPECT_EQ(pass(AvLogKind::Antivirus, L"2024-03-03"), Records{});
}

TEST_F(AvPassTest, ReportsADaySpreadOverTwoFilesOnce) {
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/01 22:00:00:000", kClean) + logLine(L"2024/03/01 23:00:00:000", kInfected));
  write("halvexlog_avstat20240302.log", logLine(L"2024/03/01 23:59:00:000", kClean) + logLine(L"2024/03/02 00:01:00:000", kClean));
  EXPECT_EQ(pass(AvLogKind::Antivirus), (Records{
                                            {L"summary", L"2024-03-01", L"clean", 2},
                                            {L"summary", L"2024-03-01", L"infected", 1},
                                            {L"recipients", L"2024-03-01", L"bare@example.org", 1},
                                            {L"recipients", L"2024-03-01", L"john.doe@example.com", 1},
                                            {L"viruses", L"2024-03-01", L"EICAR-Test-Signature", 1},
                                            {L"summary", L"2024-03-02", L"clean", 1},
                                        }));
}

TEST_F(AvPassTest, KeepsCountsOnTheirOwnDayWhenTheClockWentBack) {
  // The clock was set back across midnight: the infected message belongs to
  // 1 March although 2 March was seen first. Later files skip days earlier
  // than the latest day of the files before them.
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/02 00:10:00:000", kClean) + logLine(L"2024/03/01 23:55:00:000", kInfected));
  write("halvexlog_avstat20240302.log", logLine(L"2024/03/01 23:58:00:000", kClean) + logLine(L"2024/03/02 00:20:00:000", kClean));
  EXPECT_EQ(pass(AvLogKind::Antivirus), (Records{
                                            {L"summary", L"2024-03-01", L"infected", 1},
                                            {L"recipients", L"2024-03-01", L"bare@example.org", 1},
                                            {L"recipients", L"2024-03-01", L"john.doe@example.com", 1},
                                            {L"viruses", L"2024-03-01", L"EICAR-Test-Signature", 1},
                                            {L"summary", L"2024-03-02", L"clean", 2},
                                        }));
}

TEST_F(AvPassTest, DoesNotCountALineWithoutItsLineEnd) {
  const std::wstring unfinished = logLine(L"2024/03/01 10:00:02:000", kClean);
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/01 10:00:00:000", kClean) + L"2024/03/01 10:00:01:000 1 2 " + kClean + L"\n" +
                                            unfinished.substr(0, unfinished.size() - 2));
  EXPECT_EQ(pass(AvLogKind::Antivirus), cleanCount(L"2024-03-01", 1));
}

TEST_F(AvPassTest, DoesNotCountAnyPieceOfALineLongerThanTheBuffer) {
  // The tail of the long line, from the buffer's end on, is a valid entry of
  // its own; it must not count, nor may the 100,000-character line.
  const std::wstring tail = logLine(L"2024/03/01 10:00:00:000", kInfected);
  std::wstring head = std::wstring(L"2024/03/01 09:00:00:000 4242 17 clean\tpadding ");
  head.append(AvLogReader::kMaxPieceChars - head.size(), L'x');
  const std::wstring huge = logLine(L"2024/03/01 09:30:00:000", L"clean\t" + std::wstring(100000, L'y') + L"\t\t");
  write("halvexlog_avstat20240301.log", head + tail + huge + logLine(L"2024/03/01 11:00:00:000", kClean));
  EXPECT_EQ(pass(AvLogKind::Antivirus), cleanCount(L"2024-03-01", 1));
}

TEST_F(AvPassTest, SkipsBadInputAndCountsTheRest) {
  const std::wstring good = logLine(L"2024/03/01 10:00:00:000", kClean);
  // A log in UTF-8 and one in UTF-16 big-endian.
  testkit::writeFile(file("halvexlog_avstat20240226.log"), text::toUtf8(good + good));
  std::string bigEndian = "\xFE\xFF";
  for (wchar_t c : good + good) bigEndian += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  testkit::writeFile(file("halvexlog_avstat20240227.log"), bigEndian);
  // Binary noise, then a file cut off in the middle of a character.
  testkit::writeFile(file("halvexlog_avstat20240228.log"), std::string("\xFF\xFE\x00\xD8\r\x00\n\x00\x00\x00\xFF\xFF", 12));
  testkit::writeFile(file("halvexlog_avstat20240229.log"), std::string("\xFF\xFE", 2) + text::toUtf16le(good + good).substr(0, good.size() * 2 + 7));
  // Lines that look almost right.
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/01 10:00:00:000", L"clean no tabs at all") +
                                            logLine(L"2024/03/01 10:00:00:000", L"clean\tonly\ttwo tabs") +
                                            logLine(L"2024/03/01 10:00:00:000", L"\tno\tstatus\tword") +
                                            logLine(L"2024/02/30 10:00:00:000", kClean) + logLine(L"2024/13/01 10:00:00:000", kClean) +
                                            logLine(L"2024/03/01 25:00:00:000", kClean) + logLine(L"2024/03/01 10:00:00", kClean) +
                                            L"2024/03/01 10:00:00:000 pid 17 " + kClean + L"\r\n" + L"\r\n" + std::wstring(L"\0\0\r\n", 4));
  std::vector<std::wstring> files;
  EXPECT_EQ(pass(AvLogKind::Antivirus, L"", &files), cleanCount(L"2024-03-01", 1));
  EXPECT_EQ(files.size(), 5u);
}

TEST_F(AvPassTest, ListsOnlyTheLogsOwnRegularFilesInPathOrder) {
  for (const char* name : {"halvexlog_avstat20240302.log", "halvexlog_avstat20240301.log", "halvexlog_avstat.log",
                           "halvexlog_spamstat20240301.log", "halvexlog_avstat20240303.txt", "halvexlog_avstat20240304.log.bak",
                           "Halvexlog_avstat20240305.log"})
    write(name, L"");
  std::filesystem::create_directory(file("halvexlog_avstat20240306.log"));
  std::filesystem::create_symlink(file("halvexlog_avstat20240301.log"), file("halvexlog_avstat20240307.log"));

  const std::wstring dir = text::fromAnsi(logs());
  EXPECT_EQ(listStatisticLogs(dir, kAntivirusLogName),
            (std::vector<std::wstring>{dir + L"/halvexlog_avstat.log", dir + L"/halvexlog_avstat20240301.log", dir + L"/halvexlog_avstat20240302.log"}));
  EXPECT_EQ(listStatisticLogs(dir, kSpamLogName), std::vector<std::wstring>{dir + L"/halvexlog_spamstat20240301.log"});
  EXPECT_EQ(listStatisticLogs(dir + L"/missing", kAntivirusLogName), std::vector<std::wstring>{});
}

TEST_F(AvPassTest, GivesNothingWithoutLogFiles) {
  std::vector<std::wstring> files;
  EXPECT_EQ(pass(AvLogKind::Antivirus, L"", &files), Records{});
  EXPECT_EQ(pass(AvLogKind::Spam, L"", &files), Records{});
  EXPECT_TRUE(files.empty());
}

TEST_F(AvPassTest, HandsNoFilesOverWhenThePassFails) {
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/01 10:00:00:000", kClean));
  std::vector<std::wstring> files{L"/earlier/pass.log"};
  const AvRecordSink failing = [](const std::wstring&, const std::wstring&, const std::wstring&, uint64_t) {
    throw vexception(L"writer failed", VLOC(L"", "test"));
  };
  EXPECT_THROW(runAvStatisticsPass(AvLogKind::Antivirus, text::fromAnsi(logs()), L"", failing, files), vexception);
  EXPECT_EQ(files, std::vector<std::wstring>{L"/earlier/pass.log"});
  // Set aside, it is read again by the next pass, and only then handed over.
  EXPECT_EQ(pass(AvLogKind::Antivirus, L"", &files), cleanCount(L"2024-03-01", 1));
  EXPECT_EQ(files, (std::vector<std::wstring>{L"/earlier/pass.log", text::fromAnsi(file("halvexlog_avstat.counting.0000000001.20240301"))}));
}

// Files left set aside by failed runs are read first, oldest first, then the
// ones set aside now; the sequence goes on from the highest one present, and
// entries written after the set-aside land in a fresh file of the writers'.
TEST_F(AvPassTest, SetsAsideUnderFreshNamesAndReadsEarlierOnesFirst) {
  write("halvexlog_avstat.counting.0000000009.20240228", logLine(L"2024/02/28 10:00:00:000", kClean));
  write("halvexlog_avstat.counting.0000000002.20240227", logLine(L"2024/02/27 10:00:00:000", kClean));
  write("halvexlog_avstat20240301.log", logLine(L"2024/03/01 10:00:00:000", kClean));
  write("halvexlog_avstat20240302.log", logLine(L"2024/03/02 10:00:00:000", kClean));
  // Not set-aside names: ignored, never renamed or counted.
  write("halvexlog_avstat.counting.12.x", logLine(L"2024/03/01 10:00:00:000", kClean));
  write("halvexlog_avstat.counting.junk.log", logLine(L"2024/03/01 10:00:00:000", kClean));
  write("halvexlog_spamstat20240301.log", logLine(L"2024/03/01 10:00:00:000", kClean));

  const std::wstring dir = text::fromAnsi(logs());
  const std::vector<std::wstring> setAside = setAsideStatisticLogs(dir, kAntivirusLogName);
  EXPECT_EQ(setAside, (std::vector<std::wstring>{dir + L"/halvexlog_avstat.counting.0000000002.20240227",
                                                  dir + L"/halvexlog_avstat.counting.0000000009.20240228",
                                                  dir + L"/halvexlog_avstat.counting.0000000010.20240301",
                                                  dir + L"/halvexlog_avstat.counting.0000000011.20240302"}));
  EXPECT_EQ(listStatisticLogs(dir, kAntivirusLogName), std::vector<std::wstring>{});
  EXPECT_TRUE(testkit::fileExists(file("halvexlog_spamstat20240301.log")));

  // Read in that order: the latest-day rule would drop 02-27 and 02-28 if
  // the earlier files came after the later ones.
  std::vector<std::wstring> files;
  EXPECT_EQ(pass(AvLogKind::Antivirus, L"", &files), (Records{cleanCount(L"2024-02-27", 1)[0], cleanCount(L"2024-02-28", 1)[0],
                                                               cleanCount(L"2024-03-01", 1)[0], cleanCount(L"2024-03-02", 1)[0]}));
  EXPECT_EQ(files, setAside);
}
