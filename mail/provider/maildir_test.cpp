#include "mail/provider/maildir.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"

using mailprovider::maildirSize;

namespace {

class MaildirTest : public ::testing::Test {
 protected:
  testkit::TempDir root;
  std::string maildir(const std::string& domain, const std::string& box) { return root.path() + "/" + domain + "/" + box + "/Maildir"; }
  // A message file of `bytes` bytes; returns its size.
  uint64_t message(const std::string& path, size_t bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testkit::writeFile(path, std::string(bytes, 'x'));
    return bytes;
  }
  void layOut(const std::string& dir) {
    for (const char* sub : {"cur", "new", "tmp"}) std::filesystem::create_directories(dir + "/" + sub);
  }
  // The failure text, empty when it measured.
  std::string failure(const std::wstring& domain, const std::wstring& box, const std::wstring& mailRoot = L"") {
    try {
      maildirSize(mailRoot.empty() ? root.wpath() : mailRoot, domain, box);
    } catch (const vexception& e) {
      return text::toUtf8(e.fullText());
    }
    return "";
  }
};

}  // namespace

TEST_F(MaildirTest, SizeIsTheBytesOfTheMessageFiles) {
  const std::string dir = maildir("alpha.example", "info");
  layOut(dir);
  uint64_t expected = 0;
  expected += message(dir + "/cur/1709280000.M1P1.mx:2,S", 1234);
  expected += message(dir + "/cur/1709280001.M2P1.mx:2,RS", 1);
  expected += message(dir + "/new/1709280002.M3P1.mx", 40000);
  expected += message(dir + "/.Sent/cur/1709280003.M4P1.mx:2,S", 777);
  expected += message(dir + "/.Archive.2024/new/1709280004.M5P1.mx", 88);
  // Not messages of the mailbox: mail in delivery, index files, a folder
  // without the dot, and anything reached through a link.
  message(dir + "/tmp/1709280005.M6P1.mx", 5000);
  message(dir + "/dovecot.index.cache", 6000);
  message(dir + "/Other/cur/1", 7000);
  message(root.path() + "/secret", 100000);
  std::filesystem::create_symlink(root.path() + "/secret", dir + "/cur/link:2,S");
  std::filesystem::create_directories(root.path() + "/elsewhere/cur");
  message(root.path() + "/elsewhere/cur/big", 200000);
  std::filesystem::create_directory_symlink(root.path() + "/elsewhere", dir + "/.Linked");

  EXPECT_EQ(maildirSize(root.wpath(), L"alpha.example", L"info"), expected);

  const std::string empty = maildir("alpha.example", "sales");
  layOut(empty);
  EXPECT_EQ(maildirSize(root.wpath(), L"alpha.example", L"sales"), 0u) << "an existing empty mailbox measures 0";
}

TEST_F(MaildirTest, AMailboxNeverUsedIsEmptyABrokenOneHasNoSize) {
  layOut(maildir("alpha.example", "info"));
  // No folder until the first delivery: 0, not a failure.
  EXPECT_EQ(failure(L"alpha.example", L"nobody"), "");
  EXPECT_EQ(maildirSize(root.wpath(), L"alpha.example", L"nobody"), 0u);
  EXPECT_EQ(maildirSize(root.wpath(), L"beta.example", L"info"), 0u);
  std::filesystem::create_directories(root.path() + "/alpha.example/fresh");
  EXPECT_EQ(maildirSize(root.wpath(), L"alpha.example", L"fresh"), 0u);
  // A mail root that is not there is a wrong setting.
  EXPECT_NE(failure(L"alpha.example", L"info", root.wpath() + L"/missing"), "");

  // A Maildir without cur/ is broken, not empty.
  std::filesystem::create_directories(maildir("alpha.example", "half") + "/new");
  EXPECT_NE(failure(L"alpha.example", L"half"), "");

  // A link in place of the mailbox is not followed.
  layOut(root.path() + "/elsewhere/Maildir");
  std::filesystem::create_directory_symlink(root.path() + "/elsewhere", root.path() + "/alpha.example/linked");
  EXPECT_NE(failure(L"alpha.example", L"linked"), "");

  // Names are single path components.
  EXPECT_NE(failure(L"alpha.example", L"../alpha.example/info"), "");
  EXPECT_NE(failure(L"..", L"info"), "");
  EXPECT_EQ(failure(L"alpha.example", L"info"), "");
}
