#include "support/exceptions.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/logging.h"

TEST(ExceptionsTest, WindowsErrorIsCaughtByItsClassAndItsBases) {
  auto raise5 = [] { raiseWindowsError(L"open x", 5, VLOC(L"", "G")); };
  EXPECT_THROW(raise5(), VAccessDeniedException);
  EXPECT_THROW(raise5(), vosexception);
  EXPECT_THROW(raise5(), vexception);

  try {
    raiseWindowsError(L"", 1234, VLOC(L"", "G"));
    FAIL();
  } catch (VAccessDeniedException&) {
    FAIL() << "1234 is no access-denied error";
  } catch (vosexception& e) {
    EXPECT_EQ(e.code(), 1234u);
    EXPECT_EQ(e.message(), L"Unknown error (Error code 1234)");
  }
}

TEST(ExceptionsTest, ErrnoMapsToTheWindowsCode) {
  EXPECT_EQ(windowsErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(windowsErrorFromErrno(ENOENT, true), 3u);
  EXPECT_EQ(windowsErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(windowsErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(windowsErrorFromErrno(ENOMEM), 14u);
  EXPECT_EQ(windowsErrorFromErrno(EEXIST), 80u);
  EXPECT_EQ(windowsErrorFromErrno(EEXIST, true), 183u);
  EXPECT_THROW(raiseErrno(ENOENT, L"x", VLOC(L"", "f")), VFileNotFoundException);
  EXPECT_THROW(raiseErrno(ENOENT, L"x", VLOC(L"", "f"), true), VPathNotFoundException);
}

TEST(ExceptionsTest, FullTextListsTheTraceInnermostFirst) {
  try {
    rethrowing(VLOC(L"Calculate mail traffic", "statistics::processMailTraffic"),
               [] { raiseWindowsError(L"Y", 5, ExceptionLocation{L"", "G", 12}); });
    FAIL();
  } catch (vexception& e) {
    const std::wstring text = e.fullText();
    const std::wstring expectedStart =
        L"Access is denied. (Error code 5) at Y\n   at (G line 12)\n   at Calculate mail traffic(statistics::processMailTraffic line ";
    EXPECT_EQ(text.substr(0, expectedStart.size()), expectedStart) << std::string(text.begin(), text.end());
    EXPECT_EQ(e.trace().size(), 2u);
  }
}

TEST(ExceptionsTest, CatchSetTurnsEveryKindIntoAVexception) {
  auto convert = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return currentAsVexception(ExceptionLocation{L"ctx", "f::g", 7}).fullText();
    }
    return std::wstring(L"nothing thrown");
  };
  EXPECT_EQ(convert([] { throw std::runtime_error("boom"); }), L"boom\n   at ctx(f::g line 7)");
  EXPECT_EQ(convert([] { throw cwrpexception(0xc0000005); }), L"C structured exception: 0xc0000005\n   at ctx(f::g line 7)");
  EXPECT_EQ(convert([] { throw 42; }), L"Unexpected error\n   at ctx(f::g line 7)");
  // A vexception keeps its class when thrown on.
  EXPECT_THROW(rethrowing(ExceptionLocation{L"c", "f", 1}, [] { raiseWindowsError(L"", 2, VLOC(L"", "h")); }), VFileNotFoundException);
}

TEST(ExceptionsTest, GuardedLogsAndGoesOn) {
  bool after = false;
  EXPECT_FALSE(guarded(LogLevel::Info, VLOC(L"unit", "t::u"), [] { throw vexception(L"x", VLOC(L"", "a")); }));
  EXPECT_TRUE(guarded(LogLevel::Info, [] { return ExceptionLocation{L"lazy", "t::u", 1}; }, [&] { after = true; }));
  EXPECT_TRUE(after);
}
