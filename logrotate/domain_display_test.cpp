#include "logrotate/domain_display.h"

#include <gtest/gtest.h>

#include "support/exceptions.h"

TEST(DomainDisplayTest, ShowsPunycodeLabelsInUnicode) {
  EXPECT_EQ(domainDisplayName(L"xn--bcher-kva.example"), L"b\u00fccher.example");
  EXPECT_EQ(domainDisplayName(L"www.xn--mnchen-3ya.de"), L"www.m\u00fcnchen.de");
  EXPECT_EQ(domainDisplayName(L"example.com"), L"example.com");
}

TEST(DomainDisplayTest, ReportsNamesIcuRefusesWithIcusErrorName) {
  const std::wstring tooLong(300, L'a');
  try {
    domainDisplayName(tooLong);
    FAIL() << "no exception";
  } catch (const vexception& e) {
    EXPECT_EQ(e.message(), L"Unable to convert a whole domain name '" + tooLong +
                               L"' into its Unicode form for human-readable display using IDNA2003, name of the error code: U_IDNA_DOMAIN_NAME_TOO_LONG_ERROR.");
  }
  EXPECT_EQ(domainDisplayNameOrStored(tooLong), tooLong) << "failure reports fall back to the stored name";
}
