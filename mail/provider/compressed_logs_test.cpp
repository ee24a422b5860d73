// Rotated mail logs compressed by the real xz, bzip2 and zstd, from a log
// the real Postfix and Dovecot wrote (testdata/): read as the plain log is.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "mail/provider/postfix_provider.h"
#include "mail/testing/mail_test_support.h"
#include "support/process.h"
#include "support/testing/testenv.h"

using mailprovider::UnixTime;

namespace {

const std::string kFixture = std::string(MAIL_SOURCE_DIR) + "/provider/testdata/postfix_dovecot";

struct Tool {
  const char* program;
  const char* suffix;
  mailprovider::Compression compression;
};
constexpr Tool kTools[] = {{"xz", ".xz", mailprovider::Compression::Xz},
                           {"bzip2", ".bz2", mailprovider::Compression::Bzip2},
                           {"zstd", ".zst", mailprovider::Compression::Zstd}};

// The content compressed by the tool itself, through a shell of the test's
// own (not the reader under test).
std::string compress(const Tool& tool, const std::string& content, const testkit::TempDir& dir) {
  testkit::writeFile(dir.file("plain"), content);
  const process::RunResult r = process::run(L"/bin/sh", {L"-c", L"exec \"$0\" -c < \"$1\" > \"$2\"", text::fromAnsi(tool.program),
                                                         text::fromAnsi(dir.file("plain")), text::fromAnsi(dir.file("packed"))});
  EXPECT_EQ(r.exitCode, 0) << tool.program << ": " << r.output;
  return testkit::readFile(dir.file("packed"));
}

// What the tool itself gets out of damaged data, up to its last whole line.
std::string decompressedPrefix(const Tool& tool, const std::string& path) {
  testkit::TempDir dir;
  process::run(L"/bin/sh",
               {L"-c", L"\"$0\" -dc < \"$1\" > \"$2\"", text::fromAnsi(tool.program), text::fromAnsi(path), text::fromAnsi(dir.file("out"))});
  const std::string out = testkit::readFile(dir.file("out"));
  return out.substr(0, out.rfind('\n') + 1);
}

std::vector<std::string> linesOf(const std::string& content) {
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

using Expected = mailtest::CapturedFigures;

// The captured host's figures; a counter it left at 0 is one the counts
// below do not hold at all.
Expected readExpected() {
  Expected e = mailtest::readCapturedFigures(kFixture + ".expected");
  for (auto& [domain, counters] : e.figures)
    std::erase_if(counters, [](const auto& c) { return c.second == 0; });
  std::erase_if(e.figures, [](const auto& d) { return d.second.empty(); });
  return e;
}

mailhostctl::MailDateTime windowTime(UnixTime t) { return mailprovider::mailDateTime(t); }

struct Outcome {
  std::map<std::string, std::map<std::string, uint64_t>> figures;  // non-zero ones, summed over the days
  uint64_t messages = 0;
  std::vector<std::wstring> consumed;

  void add(const Outcome& o) {
    for (const auto& [domain, counters] : o.figures)
      for (const auto& [key, n] : counters) figures[domain][key] += n;
    messages += o.messages;
  }
};

Outcome count(const std::string& log, UnixTime from, UnixTime to, bool retire = false,
              const std::wstring& decompressors = mailprovider::kDecompressorDirectory) {
  mailprovider::ProviderSettings s;
  s.mailLog = text::fromAnsi(log);
  s.retireRotatedLogs = retire;
  s.decompressors = decompressors;
  mailprovider::PostfixDovecotProvider provider(s);
  mailhostctl::MailTrafficRequest request{{L"alpha.test", {}}, {L"beta.test", {}}, {L"gamma.test", {}}};
  mailhostctl::MailMessagesSent sent;
  Outcome o;
  provider.getMailTraffic(windowTime(from), windowTime(to), request, o.consumed, sent);
  for (const auto& [name, days] : request)
    for (const auto& [day, r] : days) {
      const std::pair<const char*, uint64_t> counters[] = {{"smtpOutSent", r.smtpOutSent},     {"smtpOutReceived", r.smtpOutReceived},
                                                           {"smtpInSent", r.smtpInSent},       {"smtpInReceived", r.smtpInReceived},
                                                           {"popImapSent", r.popImapSent},     {"popImapReceived", r.popImapReceived}};
      for (const auto& [key, n] : counters)
        if (n) o.figures[text::toAnsi(name)][key] += n;
    }
  for (const auto& [day, n] : sent) o.messages += n;
  return o;
}

// A rotated file beside the active log, an hour older.
// The rotated file stopped being written when the host rotated it, during
// the host's own life (the fixture's times), whatever the clock says now.
void placeRotated(const std::string& rotated, UnixTime lastWrite) {
  const struct timespec times[2] = {{lastWrite, 0}, {lastWrite, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, rotated.c_str(), times, 0), 0) << rotated;
}

class CompressedLogsTest : public ::testing::Test {
 protected:
  testenv::ScopedEnv tz{"TZ", std::string("UTC")};
  testkit::Installation install;
  const std::string content = testkit::readFile(kFixture + ".log");
  const size_t half = content.find('\n', content.size() / 2) + 1;
  const Expected expected = readExpected();
  void SetUp() override { tzset(); }
  void TearDown() override { tzset(); }
};

}  // namespace

// Each tool's file gives the plain file's lines, beyond a pipe's buffer;
// joined streams are read through; a damaged or cut one passes on exactly
// what precedes the damage, and says so naming the file.
TEST_F(CompressedLogsTest, ReadsEachToolsFileStreamedLineForLine) {
  std::string big;
  while (big.size() < (1u << 20)) big += content;  // far beyond a 64 KiB pipe
  const std::vector<std::string> bigLines = linesOf(big), plain = linesOf(content);
  for (const Tool& tool : kTools) {
    SCOPED_TRACE(tool.program);
    testkit::TempDir dir;
    const std::string path = dir.file(std::string("mail.log.1") + tool.suffix);
    std::vector<std::string> got;
    auto read = [&](const std::wstring& decompressors = mailprovider::kDecompressorDirectory) {
      got.clear();
      mailprovider::OpenedMailLog log{{text::fromAnsi(path), true, tool.compression}, vfs::openRead(text::fromAnsi(path))};
      mailprovider::readLines(log, [&](std::string_view l) { got.emplace_back(l); }, 65536, decompressors);
    };
    auto damage = [&]() -> std::string {
      try {
        read();
      } catch (const mailprovider::DamagedLogError& e) {
        return text::toAnsi(e.message());
      }
      return "";
    };

    testkit::writeFile(path, compress(tool, big, dir));
    read();
    EXPECT_TRUE(got == bigLines) << got.size() << " lines of " << bigLines.size();

    // Two streams joined, the second cut in its middle.
    const std::string first = compress(tool, content.substr(0, half), dir), second = compress(tool, content.substr(half), dir);
    testkit::writeFile(path, first + second);
    read();
    EXPECT_TRUE(got == plain) << got.size() << " lines of " << plain.size();
    testkit::writeFile(path, first + second.substr(0, second.size() / 2));
    std::string said = damage();
    EXPECT_NE(said.find(path), std::string::npos) << said;
    const std::vector<std::string> before = linesOf(decompressedPrefix(tool, path));
    EXPECT_TRUE(got == before) << got.size() << " lines passed on, " << before.size() << " before the damage";
    EXPECT_GE(got.size(), linesOf(content.substr(0, half)).size()) << "the whole first stream";
    EXPECT_LT(got.size(), plain.size());

    // Not data of its kind: damage too, nothing passed on.
    testkit::writeFile(path, content);
    said = damage();
    EXPECT_NE(said.find(path), std::string::npos) << said;
    EXPECT_TRUE(got.empty());

    // No decompressor: no damage but a failure naming the program and the file.
    testkit::writeFile(path, first);
    testkit::TempDir empty;
    try {
      read(empty.wpath());
      ADD_FAILURE() << "read without its decompressor";
    } catch (const mailprovider::DamagedLogError& e) {
      ADD_FAILURE() << "taken for damage: " << text::toAnsi(e.message());
    } catch (const vexception& e) {
      const std::string text = text::toAnsi(e.message());
      EXPECT_NE(text.find(empty.file(tool.program)), std::string::npos) << text;
      EXPECT_NE(text.find(path), std::string::npos) << text;
    }
  }

  // A decompressor ended by a signal may have had whole data: no damage.
  testkit::TempDir tools;
  testkit::writeFile(tools.file("xz"), "#!/bin/sh\necho 'Dec  9 19:00:00 mx postfix/qmgr[1]: half a file'\nkill -KILL $$\n");
  std::filesystem::permissions(tools.file("xz"), std::filesystem::perms::owner_all);
  testkit::writeFile(tools.file("mail.log.1.xz"), "anything");
  mailprovider::OpenedMailLog log{{text::fromAnsi(tools.file("mail.log.1.xz")), true, mailprovider::Compression::Xz},
                                  vfs::openRead(text::fromAnsi(tools.file("mail.log.1.xz")))};
  try {
    mailprovider::readLines(log, [](std::string_view) {}, 65536, tools.wpath());
    ADD_FAILURE() << "a killed decompressor read as a whole file";
  } catch (const mailprovider::DamagedLogError& e) {
    ADD_FAILURE() << "taken for damage: " << text::toAnsi(e.message());
  } catch (const vexception& e) {
    EXPECT_NE(text::toAnsi(e.message()).find("signal 9"), std::string::npos) << text::toAnsi(e.message());
  }
}

// The provider over a log rotated in the middle, its older half compressed
// by each tool: the figures of the plain log, each line once across windows
// that meet at every second of the host's life, and the rotated file retired.
TEST_F(CompressedLogsTest, RotatedCompressedLogsCountAsThePlainLogOnceAcrossWindows) {
  for (const Tool& tool : kTools) {
    SCOPED_TRACE(tool.program);
    testkit::TempDir dir, scratch;
    const std::string active = dir.file("mail.log"), rotated = dir.file(std::string("mail.log.1") + tool.suffix);
    testkit::writeFile(active, content.substr(half));
    testkit::writeFile(rotated, compress(tool, content.substr(0, half), scratch));
    placeRotated(rotated, expected.start);

    const Outcome whole = count(active, expected.start - 60, expected.end + 60, true);
    EXPECT_EQ(whole.figures, expected.figures);
    EXPECT_EQ(whole.messages, expected.messages);
    ASSERT_EQ(whole.consumed.size(), 1u);
    EXPECT_EQ(whole.consumed[0], text::fromAnsi(rotated));

    for (UnixTime cut = expected.start; cut <= expected.end; ++cut) {
      Outcome sum = count(active, expected.start - 60, cut);
      sum.add(count(active, cut, expected.end + 60));
      EXPECT_EQ(sum.figures, expected.figures) << "cut at " << cut;
      EXPECT_EQ(sum.messages, expected.messages) << "cut at " << cut;
    }
  }
}

// Cut short: an Error naming the file, and the figures of exactly the lines
// before the damage. Its decompressor missing: the call fails naming the
// program and the file, so that the window stays for the next run.
TEST_F(CompressedLogsTest, DamagedFilesCountWhatPrecedesTheDamageAndAMissingDecompressorKeepsTheWindow) {
  for (const Tool& tool : kTools) {
    SCOPED_TRACE(tool.program);
    testkit::TempDir dir, reference, scratch;
    const std::string active = dir.file("mail.log"), rotated = dir.file(std::string("mail.log.1") + tool.suffix);
    testkit::writeFile(active, content.substr(half));
    // Two streams (as files joined with cat), the second cut short: the
    // first one's lines at least come before the damage, whatever the
    // tool's block size.
    const size_t quarter = content.find('\n', half / 2) + 1;
    const std::string second = compress(tool, content.substr(quarter, half - quarter), scratch);
    testkit::writeFile(rotated, compress(tool, content.substr(0, quarter), scratch) + second.substr(0, second.size() * 2 / 3));
    placeRotated(rotated, expected.start);
    // The same lines, plain: what the tool could get out of it.
    testkit::writeFile(reference.file("mail.log"), content.substr(half));
    testkit::writeFile(reference.file("mail.log.1"), decompressedPrefix(tool, rotated));
    placeRotated(reference.file("mail.log.1"), expected.start);

    mailtest::LogCapture log({LogLevel::Error});
    const Outcome damaged = count(active, expected.start - 60, expected.end + 60);
    EXPECT_NE(log.text().find("The mail log " + rotated + " is damaged"), std::string::npos) << log.text();
    const Outcome before = count(reference.file("mail.log"), expected.start - 60, expected.end + 60);
    EXPECT_EQ(damaged.figures, before.figures);
    EXPECT_EQ(damaged.messages, before.messages);
    const size_t prefix = testkit::readFile(reference.file("mail.log.1")).size();
    EXPECT_GE(prefix, quarter);
    EXPECT_LT(prefix, half) << "the damage lost nothing?";

    testkit::TempDir empty;
    try {
      count(active, expected.start - 60, expected.end + 60, true, empty.wpath());
      ADD_FAILURE() << "counted without the decompressor";
    } catch (const vexception& e) {
      const std::string text = text::toAnsi(e.fullText());
      EXPECT_NE(text.find(empty.file(tool.program)), std::string::npos) << text;
      EXPECT_NE(text.find(rotated), std::string::npos) << text;
    }
  }
}
