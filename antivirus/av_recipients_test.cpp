#include "antivirus/av_recipients.h"

#include <gtest/gtest.h>

using Addresses = std::vector<std::wstring>;

TEST(SplitRecipientsTest, KeepsAddressesAndDropsDisplayNames) {
  EXPECT_EQ(splitRecipients(L"\"Doe, John\" <John.DOE@Example.COM>, bare@example.org"),
            (Addresses{L"John.DOE@Example.COM", L"bare@example.org"}));
  EXPECT_EQ(splitRecipients(L"John Doe <j@example.org>"), Addresses{L"j@example.org"});
  EXPECT_EQ(splitRecipients(L"a@example.org;b@example.org , c@example.org"), (Addresses{L"a@example.org", L"b@example.org", L"c@example.org"}));
  EXPECT_EQ(splitRecipients(L"<a@example.org><b@example.org>"), (Addresses{L"a@example.org", L"b@example.org"}));
}

TEST(SplitRecipientsTest, SkipsEscapedQuotesInsideQuotedNames) {
  EXPECT_EQ(splitRecipients(L"\"Say \\\"hi, <fake@example.org>\\\"\" <real@example.org>"), Addresses{L"real@example.org"});
  // An escaped backslash does not escape the closing quote.
  EXPECT_EQ(splitRecipients(L"\"back\\\\\" x@example.org"), Addresses{L"x@example.org"});
}

TEST(SplitRecipientsTest, HandlesUnfinishedAndEmptyLists) {
  EXPECT_EQ(splitRecipients(L"<open@example.org"), Addresses{L"open@example.org"});
  EXPECT_EQ(splitRecipients(L"  spaced@example.org  "), Addresses{L"spaced@example.org"});
  EXPECT_EQ(splitRecipients(L"< >, ,,"), Addresses{});
  EXPECT_EQ(splitRecipients(L"\"never closed, <x@example.org>"), Addresses{});
  EXPECT_EQ(splitRecipients(L""), Addresses{});
}
