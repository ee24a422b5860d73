// Test mail providers, one source built as several plugins. The variant is
// chosen by a compile definition:
//   (none)                   a working provider with predictable figures;
//   TEST_PROVIDER_NO_FACTORY the factory is not exported;
//   TEST_PROVIDER_NULL       the factory returns null;
//   TEST_PROVIDER_NO_FEATURE it does not support mailbox sizes;
//   TEST_PROVIDER_THROWING   its calls throw;
//   TEST_PROVIDER_CRASHING   its mailbox look-up faults.
// The working provider's figures: a mailbox measures 1000 bytes per
// character of its name plus one per character of the domain name; the
// mailbox "broken" throws a std::exception and "vbroken" a vexception. Its
// traffic: for each requested name n, on the window end's date, the record
// (1..6) * length(n), and on 2024-03-01 (10, 20, ..., 60); also figures for
// "unknown.example"; 7 messages sent on the end's date. When the environment
// names HALVEX_TEST_MAIL_TRACE, each traffic call appends "start|end|names"
// there; HALVEX_TEST_MAIL_CONSUMED is a ":"-separated list of files it
// reports as consumed (an empty entry is added too).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "mail/mail_provider.h"
#include "support/logging.h"
#include "support/text.h"

namespace {

using namespace mailhostctl;

std::wstring format(const MailDateTime& t) {
  return vaformat(L"%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

class TestMailbox final : public IMailbox {
 public:
  explicit TestMailbox(uint64_t size) : size_(size) {}
  uint64_t size() override { return size_; }
  void release() override { delete this; }

 private:
  uint64_t size_;
};

class TestProvider final : public IMailHostCtlProvider {
 public:
  bool isSupported(int feature) override {
#ifdef TEST_PROVIDER_NO_FEATURE
    (void)feature;
    return false;
#else
    return feature == FeatureMailboxDiskUsage;
#endif
  }

  IMailbox* getMailbox(const std::wstring& mailName, const std::wstring& domainName) override {
#if defined(TEST_PROVIDER_THROWING)
    throw std::runtime_error("the test provider cannot reach its mail server");
#elif defined(TEST_PROVIDER_CRASHING)
    volatile int* nowhere = nullptr;
    return new TestMailbox(static_cast<uint64_t>(*nowhere));
#endif
    if (mailName == L"broken") throw std::runtime_error("mailbox broken is unreadable");
    if (mailName == L"vbroken") throw vexception(L"mailbox vbroken is unreadable", VLOC(L"", "TestProvider::getMailbox"));
    return new TestMailbox(1000 * mailName.size() + domainName.size());
  }

  void release() override { delete this; }

  void getMailTraffic(const MailDateTime& start, const MailDateTime& end, MailTrafficRequest& request, std::vector<std::wstring>& consumedFiles,
                      MailMessagesSent& messagesSent) override {
#ifdef TEST_PROVIDER_THROWING
    throw std::runtime_error("the test provider cannot read its mail log");
#endif
    std::wstring names;
    for (auto& [name, days] : request) {
      names += (names.empty() ? L"" : L",") + name;
      const uint64_t n = name.size();
      days[MailDate{end.year, end.month, end.day}] = MailTrafficRecord{1 * n, 2 * n, 3 * n, 4 * n, 5 * n, 6 * n};
      days[MailDate{2024, 3, 1}] = MailTrafficRecord{10, 20, 30, 40, 50, 60};
    }
    request[L"unknown.example"][MailDate{2024, 3, 1}] = MailTrafficRecord{1000, 1000, 1000, 1000, 1000, 1000};
    messagesSent[MailDate{end.year, end.month, end.day}] += 7;
    logMessage(LogLevel::Info, L"Test provider counted %d domains", static_cast<int>(request.size() - 1));

    if (const char* trace = std::getenv("HALVEX_TEST_MAIL_TRACE")) {
      if (FILE* f = std::fopen(trace, "a")) {
        std::fprintf(f, "%s|%s|%s\n", text::toUtf8(format(start)).c_str(), text::toUtf8(format(end)).c_str(), text::toUtf8(names).c_str());
        std::fclose(f);
      }
    }
    if (const char* consumed = std::getenv("HALVEX_TEST_MAIL_CONSUMED")) {
      std::string list = consumed;
      for (size_t at = 0; at <= list.size();) {
        const size_t colon = std::min(list.find(':', at), list.size());
        consumedFiles.push_back(text::fromUtf8(list.substr(at, colon - at)));
        at = colon + 1;
      }
      consumedFiles.push_back(L"");
    }
  }
};

}  // namespace

#ifndef TEST_PROVIDER_NO_FACTORY
extern "C" __attribute__((visibility("default"))) IMailHostCtlProvider* getMailHostCtlProviderInstance() {
#ifdef TEST_PROVIDER_NULL
  return nullptr;
#else
  return new TestProvider;
#endif
}
#endif
