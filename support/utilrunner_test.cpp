#include "support/utilrunner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

std::string findError(const std::wstring& name) {
  try {
    findUtilPath(name);
  } catch (const vexception& e) {
    return text::toAnsi(e.message());
  }
  return "";
}

// Packages install the utilities as links into their own directories; the
// installation's links are followed, one that anybody else could have made is not.
TEST(UtilRunner, UtilitiesMayBeTheInstallationsLinks) {
  testkit::Installation install;
  const std::string bin = install.productRoot() + "/admin/bin";
  testkit::writeFile(install.productRoot() + "/admin/libexec/webhostctl", "#!/bin/sh\necho \"answered $1\"\n");
  ASSERT_EQ(::chmod((install.productRoot() + "/admin/libexec/webhostctl").c_str(), 0755), 0);
  ::mkdir(bin.c_str(), 0755);
  ASSERT_EQ(::chmod(bin.c_str(), 0755), 0);
  ASSERT_EQ(::symlink("../libexec/webhostctl", (bin + "/webhostctl").c_str()), 0);

  EXPECT_EQ(findUtilPath(L"webhostctl.exe"), text::fromAnsi(bin + "/webhostctl"));
  std::wstring output;
  execHalvexUtil(L"webhostctl", L"--list", &output);
  EXPECT_EQ(text::toAnsi(output), "answered --list\n");

  EXPECT_EQ(findError(L"ftphostctl"), "Unable to find path of 'ftphostctl'");
  ASSERT_EQ(::symlink("../libexec/missing", (bin + "/dangling").c_str()), 0);
  EXPECT_EQ(findError(L"dangling"), "Unable to find path of 'dangling'");
  ASSERT_EQ(::symlink("../libexec", (bin + "/directory").c_str()), 0);
  EXPECT_EQ(findError(L"directory"), "Unable to find path of 'directory'");

  // A directory others may write: the link could be anyone's.
  ASSERT_EQ(::chmod(bin.c_str(), 0777), 0);
  EXPECT_EQ(findError(L"webhostctl"), "Unable to find path of 'webhostctl'");
  ASSERT_EQ(::chmod(bin.c_str(), 0755), 0);
  if (::geteuid() != 0) GTEST_SKIP() << "a foreign link needs root to plant";
  ASSERT_EQ(::lchown((bin + "/webhostctl").c_str(), 12345, 12345), 0);
  EXPECT_EQ(findError(L"webhostctl"), "Unable to find path of 'webhostctl'");
}

}  // namespace
