// A mail provider for whole-program tests that need to act in the middle of
// a run: the mail traffic step comes after traffic collection and before
// the run's commit actions (markers, feeds, rotation, retirement), so a
// command run from here changes the world between the moment the logs were
// read and the moment anything is recorded. The command is the environment
// variable HALVEX_TEST_HOOK, run with /bin/sh; a command that fails makes
// the provider throw. The provider counts no mail.
#include <cstdlib>
#include <stdexcept>

#include "mail/mail_provider.h"

namespace {

using namespace mailhostctl;

const char* mailboxHook() {
  const char* hook = std::getenv("HALVEX_TEST_MAILBOX_HOOK");
  return hook && *hook ? hook : nullptr;
}

class HookMailbox final : public IMailbox {
 public:
  uint64_t size() override {
    if (std::system(mailboxHook()) != 0) throw std::runtime_error(std::string("the mailbox hook failed: ") + mailboxHook());
    return 1;
  }
  void release() override { delete this; }
};

class HookProvider final : public IMailHostCtlProvider {
 public:
  // With HALVEX_TEST_MAILBOX_HOOK set, every mailbox is sized by running
  // that command (the mailbox usage step then acts in the middle of a run
  // too) and is 1 byte.
  bool isSupported(int feature) override { return feature == FeatureMailboxDiskUsage && mailboxHook(); }
  IMailbox* getMailbox(const std::wstring&, const std::wstring&) override {
    if (!mailboxHook()) throw std::runtime_error("the hook provider has no mailboxes");
    return new HookMailbox;
  }
  void release() override { delete this; }
  void getMailTraffic(const MailDateTime&, const MailDateTime&, MailTrafficRequest&, std::vector<std::wstring>&, MailMessagesSent&) override {
    const char* hook = std::getenv("HALVEX_TEST_HOOK");
    if (hook && *hook && std::system(hook) != 0) throw std::runtime_error(std::string("the test hook failed: ") + hook);
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IMailHostCtlProvider* getMailHostCtlProviderInstance() { return new HookProvider; }
