#include "support/cmdline.h"

#include <gtest/gtest.h>

#include <random>

#include "support/text.h"
#include "tests/testkit.h"

namespace {

using Args = std::vector<std::wstring>;

class CmdlineTest : public ::testing::Test {
 protected:
  testkit::Installation inst_;
};

TEST_F(CmdlineTest, SplitFollowsTheWindowsRules) {
  EXPECT_EQ(splitCommandLine(LR"(prog a  b	c )"), (Args{L"prog", L"a", L"b", L"c"}));
  // The program name: quoted up to the next quote, no escapes.
  EXPECT_EQ(splitCommandLine(LR"("C:\Program Files\x.exe" arg)"), (Args{LR"(C:\Program Files\x.exe)", L"arg"}));
  EXPECT_EQ(splitCommandLine(LR"("C:\dir\"next x)"), (Args{LR"(C:\dir\)", L"next", L"x"}));
  EXPECT_EQ(splitCommandLine(LR"(C:\a\"b c)"), (Args{LR"(C:\a\"b)", L"c"}));
  EXPECT_EQ(splitCommandLine(L" prog a"), (Args{L"", L"prog", L"a"}));
  // 2n backslashes and a quote: n backslashes, the quote toggles.
  EXPECT_EQ(splitCommandLine(LR"(p a\\\\"b c" d)"), (Args{L"p", LR"(a\\b c)", L"d"}));
  // 2n+1 backslashes and a quote: n backslashes and a literal quote.
  EXPECT_EQ(splitCommandLine(LR"(p a\\\"b)"), (Args{L"p", LR"(a\"b)"}));
  EXPECT_EQ(splitCommandLine(LR"(p \"a)"), (Args{L"p", L"\"a"}));
  // Backslashes elsewhere are literal.
  EXPECT_EQ(splitCommandLine(LR"(p a\\b\ c\)"), (Args{L"p", LR"(a\\b\)", LR"(c\)"}));
  // Two quotes inside a quoted part: one literal quote, the part goes on.
  EXPECT_EQ(splitCommandLine(LR"(p "a""b c" d)"), (Args{L"p", L"a\"b c", L"d"}));
  EXPECT_EQ(splitCommandLine(LR"(p "" x)"), (Args{L"p", L"", L"x"}));
  EXPECT_EQ(splitCommandLine(LR"(p a"b c"d)"), (Args{L"p", L"ab cd"}));
  EXPECT_EQ(splitCommandLine(LR"(p "open ended)"), (Args{L"p", L"open ended"}));
  EXPECT_EQ(splitCommandLine(L""), Args{});
  EXPECT_EQ(splitCommandLine(L" \t "), Args{});
  EXPECT_EQ(splitArguments(LR"("a b" c)"), (Args{L"a b", L"c"}));
}

TEST_F(CmdlineTest, QuoteArgumentQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(quoteArgument(L"--verbose"), L"--verbose");
  EXPECT_EQ(quoteArgument(LR"(C:\a\b)"), LR"(C:\a\b)");
  EXPECT_EQ(quoteArgument(L"a b"), L"\"a b\"");
  EXPECT_EQ(quoteArgument(LR"(C:\a b\)"), LR"("C:\a b\\")");
  EXPECT_EQ(quoteArgument(LR"(a"b)"), LR"("a\"b")");
  EXPECT_EQ(quoteArgument(LR"(a\"b)"), LR"("a\\\"b")");
  EXPECT_EQ(quoteArgument(L""), L"\"\"");
  for (wchar_t c : std::wstring(L"&<>[]{}^=;!'+,`~|\t\n")) {
    const std::wstring arg = std::wstring(L"a") + c + L"b";
    EXPECT_EQ(quoteArgument(arg), L"\"" + arg + L"\"") << static_cast<int>(c);
  }
  for (wchar_t c : std::wstring(L"-_./\\:@#$%*?()abc")) EXPECT_EQ(quoteArgument(std::wstring(1, c)), std::wstring(1, c));
}

TEST_F(CmdlineTest, SplitGivesBackQuotedArguments) {
  // Generated arguments made of the characters that the rules treat specially.
  const std::wstring alphabet = L"\\\\\\\"\"  \taZ=";
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    Args args(random() % 5);
    for (std::wstring& a : args) {
      a.resize(random() % 9);
      for (wchar_t& c : a) c = alphabet[random() % alphabet.size()];
    }
    const std::wstring line = joinCommandLine(args);
    ASSERT_EQ(splitArguments(line), args) << text::toUtf8(line);
    Args withProgram{L"C:\\Program Files\\statistics.exe"};
    withProgram.insert(withProgram.end(), args.begin(), args.end());
    ASSERT_EQ(splitCommandLine(joinCommandLine(withProgram)), withProgram) << text::toUtf8(line);
  }
}

TEST_F(CmdlineTest, MaskCommandLineHidesPasswordValues) {
  EXPECT_EQ(maskCommandLine(LR"("C:\Program Files\statistics.exe" "--config=C:\a b\c.xml" --verbose)"),
            LR"("C:\Program Files\statistics.exe" "--config=C:\a b\c.xml" --verbose)");
  EXPECT_EQ(maskCommandLine(LR"(statistics --config=C:\a.xml --verbose)"), LR"(statistics "--config=C:\a.xml" --verbose)");
  EXPECT_EQ(maskCommandLine(L"statistics --db-password=x=y"), L"statistics \"--db-password=*=*\"");
  EXPECT_EQ(maskCommandLine(L"statistics --pwd"), L"statistics --pwd");
  EXPECT_EQ(maskCommandLine(L"statistics --smtp-pwd=s3cret --user=admin"), L"statistics \"--smtp-pwd=*\" \"--user=admin\"");
  EXPECT_EQ(maskCommandLine(L"statistics --Password=shown"), L"statistics \"--Password=shown\"");
  EXPECT_EQ(maskCommandLine(L"statistics \"--password=a b\""), L"statistics \"--password=*\"");
  EXPECT_EQ(maskCommandLine(L""), L"");
  EXPECT_EQ(maskCommandLine(L"   "), L"");
}

}  // namespace
