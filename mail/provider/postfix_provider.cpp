#include "mail/provider/postfix_provider.h"

#include "mail/provider/mail_log_accounting.h"
#include "mail/provider/maildir.h"
#include "support/logging.h"
#include "support/registry.h"

#include <set>

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

bool mayRetire(const MailLogFile& file, bool stamped, UnixTime last, UnixTime end) {
  if (!file.rotated) return false;
  if (unixFromFileTime(file.lastWrite) >= end) return false;
  if (stamped && last >= end) return false;
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

  // A log that is not there counts nothing: said, and the window kept.
  const std::wstring setting = std::wstring(L"the setting MailLog of HKLM\\") + kProviderKey;
  vfs::DirEntry active;
  try {
    active = vfs::statPath(settings_.mailLog);
  } catch (const vexception& e) {
    throw vexception(L"The mail log " + settings_.mailLog + L" (" + setting + L") cannot be examined: " + e.message(), VLOC(L"", kTrafficFunction));
  }
  if (active.type != vfs::EntryType::File)
    throw vexception(L"The mail log " + settings_.mailLog + L" (" + setting + L") is " +
                         (active.type == vfs::EntryType::Symlink ? L"a link, which is not followed" : L"no regular file"),
                     VLOC(L"", kTrafficFunction));

  std::vector<OpenedMailLog> logs = rethrowing(VLOC(L"Open the mail logs of " + settings_.mailLog + L" (" + setting + L")", kTrafficFunction),
                                              [&] { return openMailLogFiles(settings_.mailLog); });
  std::set<std::pair<uint64_t, uint64_t>> read;
  auto readAll = [&](std::vector<OpenedMailLog>& files) {
    for (OpenedMailLog& log : files) {
      const MailLogFile& file = log.file;
      if (!read.insert({file.device, file.inode}).second) continue;
      if (from != kBeginningOfTime && unixFromFileTime(file.lastWrite + kOlderFilesMargin) < from) continue;
      logMessage(LogLevel::Info, L"Read mail log %s", file.path);
      ReadCounts reading;
      try {
        reading = readLines(log, [&](std::string_view line) { accounting.addLine(line); }, 65536, settings_.decompressors);
      } catch (DamagedLogError& e) {
        // A rotated compressed file is final: what it holds past the damage
        // is lost whatever we do, so its lines before are counted.
        if (!file.rotated) {
          e.addLocation(VLOC(L"Read mail log " + file.path, kTrafficFunction));
          throw;
        }
        logMessage(LogLevel::Error, L"The mail log %s is damaged; its lines before the damage are counted: %s", file.path, e.message());
      } catch (vexception& e) {
        // Unreadable, or its decompressor missing: kept for the next run.
        e.addLocation(VLOC(L"Read mail log " + file.path, kTrafficFunction));
        throw;
      }
      // Ours no more: the check for other processes holding it must not see us.
      log.opened.close();
      const LineCounts counts = accounting.takeFileCounts();
      if (counts.unreadable || reading.overlong)
        logMessage(LogLevel::Warning, L"Skipped %I64d of %I64d lines of the mail log %s that could not be read (%I64d longer than the limit)",
                   counts.unreadable + reading.overlong, counts.lines + reading.overlong, file.path, reading.overlong);
      if (counts.passedOver || counts.afterEnd)
        logMessage(LogLevel::Info,
                   L"Mail log %s: %I64d of %I64d lines passed over (other programs, or no traffic of their own), %I64d stamped at or after the "
                   L"window's end",
                   file.path, counts.passedOver, counts.lines, counts.afterEnd);
      if (settings_.retireRotatedLogs && mayRetire(file, counts.anyStamped, counts.last, to)) consumedFiles.push_back(file.path);
    }
  };
  readAll(logs);
  // Rotated while we read: the new active log holds lines of the window too.
  std::vector<OpenedMailLog> again = openMailLogFiles(settings_.mailLog);
  readAll(again);
  accounting.addTo(request, messagesSent);
}

}  // namespace mailprovider
