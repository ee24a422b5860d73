#include "mail/provider/postfix_provider.h"

#include "mail/provider/mail_log_accounting.h"
#include "mail/provider/maildir.h"
#include "support/logging.h"
#include "support/registry.h"

namespace mailprovider {

namespace {

constexpr const char* kTrafficFunction = "PostfixDovecotProvider::getMailTraffic";
// A file last written this long before the window's start holds no line of
// it; it is still read when younger, so that messages received just before
// the start are known when their later lines are counted.
constexpr int64_t kOlderFilesMargin = 86400LL * 10000000;  // one day in file-time units

UnixTime unixFromFileTime(vfs::FileTime t) {
  // File times count 100 ns from 1601; 11644473600 s lie between 1601 and 1970.
  return t / 10000000 - 11644473600LL;
}

class Mailbox final : public mailhostctl::IMailbox {
 public:
  explicit Mailbox(uint64_t size) : size_(size) {}
  uint64_t size() override { return size_; }
  void release() override { delete this; }

 private:
  uint64_t size_;
};

}  // namespace

ProviderSettings readProviderSettings() {
  ProviderSettings s;
  std::wstring value;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kProviderKey, L"MailRoot", value) == 0 && !value.empty()) s.mailRoot = value;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kProviderKey, L"MailLog", value) == 0 && !value.empty()) s.mailLog = value;
  uint32_t retire = 0;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kProviderKey, L"RetireRotatedLogs", retire) == 0) s.retireRotatedLogs = retire != 0;
  return s;
}

bool mayRetire(const MailLogFile& file, bool stamped, UnixTime first, UnixTime last, UnixTime start, UnixTime end) {
  if (!file.rotated) return false;
  const UnixTime written = unixFromFileTime(file.lastWrite);
  if (written < start || written >= end) return false;
  if (stamped && (first < start || last >= end)) return false;
  return !vfs::isFileInUse(file.path);
}

bool PostfixDovecotProvider::isSupported(int feature) { return feature == mailhostctl::FeatureMailboxDiskUsage; }

mailhostctl::IMailbox* PostfixDovecotProvider::getMailbox(const std::wstring& mailName, const std::wstring& domainName) {
  // Measured here, so that a mailbox that does not exist fails at once.
  return new Mailbox(maildirSize(settings_.mailRoot, domainName, mailName));
}

void PostfixDovecotProvider::release() { delete this; }

void PostfixDovecotProvider::getMailTraffic(const mailhostctl::MailDateTime& start, const mailhostctl::MailDateTime& end,
                                            mailhostctl::MailTrafficRequest& request, std::vector<std::wstring>& consumedFiles,
                                            mailhostctl::MailMessagesSent& messagesSent) {
  const UnixTime from = unixTime(start), to = unixTime(end);
  std::vector<std::wstring> domains;
  for (const auto& [name, days] : request) domains.push_back(name);
  MailLogAccounting accounting(from, to, domains);

  for (const MailLogFile& file : findMailLogFiles(settings_.mailLog)) {
    if (from != kBeginningOfTime && unixFromFileTime(file.lastWrite + kOlderFilesMargin) < from) continue;
    logMessage(LogLevel::Info, L"Read mail log %s", file.path);
    rethrowing(VLOC(L"Read mail log " + file.path, kTrafficFunction), [&] {
      readLines(file, [&](std::string_view line) { accounting.addLine(line); });
    });
    const LineCounts counts = accounting.takeFileCounts();
    if (counts.unreadable)
      logMessage(LogLevel::Warning, L"Skipped %I64d of %I64d lines of the mail log %s that could not be read", counts.unreadable, counts.lines,
                 file.path);
    if (settings_.retireRotatedLogs && mayRetire(file, counts.anyStamped, counts.first, counts.last, from, to))
      consumedFiles.push_back(file.path);
  }
  accounting.addTo(request, messagesSent);
}

}  // namespace mailprovider
