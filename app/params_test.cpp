#include "app/params.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/exceptions.h"

namespace {

Params make(std::vector<const wchar_t*> args) { return Params(static_cast<int>(args.size()), args.data()); }

uint32_t flagsOf(std::vector<const wchar_t*> args) {
  testing::internal::CaptureStdout();
  uint32_t f = getModeFlags(make(args));
  testing::internal::GetCapturedStdout();
  return f;
}

}  // namespace

TEST(ParamsTest, CollectsNamesAndAttachedValues) {
  Params p = make({L"--config=a=b", L"--verbose=yes", L"--config2", L"--from-date=2007/04/06 18:02:32"});
  EXPECT_EQ(p.get(L"--config"), L"a=b");
  EXPECT_TRUE(p.has(L"--verbose"));
  EXPECT_EQ(p.get(L"--verbose"), L"yes");
  EXPECT_EQ(p.get(L"--from-date"), L"2007/04/06 18:02:32");
  EXPECT_EQ(p.get(L"--missing", false, L"dflt"), L"dflt");
  Params later = make({L"--config=one", L"--config=two"});
  EXPECT_EQ(later.get(L"--config"), L"two");
  try {
    p.get(L"--x", true);
    FAIL();
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"Missing required parameter --x. ");
  }
}

TEST(ParamsTest, CheckRejectsTheFirstUnknownNameWithTheList) {
  EXPECT_NO_THROW(make({L"--all", L"--internal-package-name=x", L"-h"}).check());
  try {
    make({L"--help", L"--bogus", L"--zzz"}).check();
    FAIL();
  } catch (const vexception& e) {
    const std::wstring m = e.message();
    EXPECT_EQ(m.rfind(L"Unexpected parameter --bogus. Possible parameters:\n    [-h]\n    [--help]\n", 0), 0u);
    EXPECT_TRUE(m.ends_with(L"    [--config]\n    [--save-results-to]")) << "no line break after the last";
  }
  // A value given as a separate argument is a name of its own.
  EXPECT_THROW(make({L"--config", L"/tmp/c.xml"}).check(), vexception);
}

TEST(ParamsTest, ModeFlagsFollowTheOptions) {
  EXPECT_EQ(flagsOf({}), 0x657u);
  EXPECT_EQ(flagsOf({L"--notify"}), 0x20u);
  EXPECT_EQ(flagsOf({L"--disk-usage", L"--all"}), 0x657u);
  EXPECT_EQ(flagsOf({L"--http-traffic", L"--ftp-traffic"}), 0x6u);
  EXPECT_EQ(flagsOf({L"--http-web-statistics"}), 0x80u);
  EXPECT_EQ(flagsOf({L"--verbose", L"--config=x"}), 0x657u) << "options that select no work give all modes";
  EXPECT_EQ(flagsOf({L"--antivirus", L"--help"}), static_cast<uint32_t>(ShowHelp));
}

TEST(ParamsTest, UsageTextLinesEndWithABlankExceptTheLast) {
  testing::internal::CaptureStdout();
  getModeFlags(make({L"-h"}));
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, kUsageText);
  std::istringstream in(printed);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 44u);
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].back(), ' ') << "line " << i + 1;
  EXPECT_EQ(lines.back(), "      which more information is added to the statistics report.");
  EXPECT_EQ(printed.back(), '\n');
}
