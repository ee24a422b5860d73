#include "support/vaformat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

TEST(VaformatTest, TakesTheProgramsFormatTextsAsTheyStand) {
  EXPECT_EQ(vaformat(L"start %s", std::wstring(L"a b")), L"start a b");
  EXPECT_EQ(vaformat(L"%I64d", int64_t{-9000000000}), L"-9000000000");
  EXPECT_EQ(vaformat(L"%04d/%02d/%02d", 7, 3, 1), L"0007/03/01");
  EXPECT_EQ(vaformat(L"(Error code %lu)", uint32_t{5}), L"(Error code 5)");
  EXPECT_EQ(vaformat(L"%08X", uint32_t{0x80004005}), L"80004005");
  EXPECT_EQ(vaformat(L"%08X", int32_t{-2147467259}), L"80004005");
  EXPECT_EQ(vaformat(L"%0lX", 255), L"FF");
  EXPECT_EQ(vaformat(L"%s(%d): Collect log", L"/x", 2), L"/x(2): Collect log");
  EXPECT_EQ(vaformat(L"100%% done"), L"100% done");
  EXPECT_EQ(vaformat(L"%04d%02d%02d%02d%02d%02d%03d", 2016, 12, 5, 3, 15, 0, 123), L"20161205031500123");
}

TEST(VaformatTest, MissingArgumentsAndWrongKindsNeverCrash) {
  EXPECT_EQ(vaformat(L"%s and %d"), L" and 0");
  EXPECT_EQ(vaformat(L"%d", std::wstring(L"x")), L"0");
  EXPECT_EQ(vaformat(L"%s", 12), L"12");
  EXPECT_EQ(vaformat(L"trailing %"), L"trailing ");
}

TEST(VaformatTest, TooLargeAResultGivesTheOverflowText) {
  std::wstring big(6553600, L'x');
  EXPECT_EQ(vaformat(L"%s", big), kVaformatOverflow);
  std::wstring fits(6553599, L'x');
  EXPECT_EQ(vaformat(L"%s", fits).size(), fits.size());
}

TEST(VaformatTest, HugeWidthsAndPrecisionsGiveTheOverflowTextAtOnce) {
  EXPECT_EQ(vaformat(L"%999999999d", 1), kVaformatOverflow);
  EXPECT_EQ(vaformat(L"%7000000d", 1), kVaformatOverflow);
  EXPECT_EQ(vaformat(L"x%99999999999999999999999d", 1), kVaformatOverflow);
  EXPECT_EQ(vaformat(L"%.99999999999999999999f", 1.5), kVaformatOverflow);
  EXPECT_EQ(vaformat(L"%*d", int64_t{1} << 40, 5), kVaformatOverflow);
  EXPECT_EQ(vaformat(L"%.99999999999999999999s|", L"short"), L"short|");
  EXPECT_EQ(vaformat(L"%.*d", -1, 5), L"5");
  EXPECT_EQ(vaformat(L"%6000000d", 1).size(), 6000000u);
}

TEST(VaformatTest, DoublesOutOfRangeSaturateAsIntegers) {
  EXPECT_EQ(vaformat(L"%d", -1.5e300), L"-9223372036854775808");
  EXPECT_EQ(vaformat(L"%d", 1e19), L"9223372036854775807");
  EXPECT_EQ(vaformat(L"%I64u", 1e30), L"18446744073709551615");
  EXPECT_EQ(vaformat(L"%I64u", 1e19), L"10000000000000000000");
  EXPECT_EQ(vaformat(L"%d", std::numeric_limits<double>::quiet_NaN()), L"0");
  EXPECT_EQ(vaformat(L"%d", -2.5), L"-2");
}
