#include "support/halvexlog.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>

#include "support/datetime.h"
#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logfile.h"
#include "support/logging.h"
#include "support/mutex.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/text.h"
#include "support/vaformat.h"

namespace halvex::logging {
namespace {

constexpr uint64_t kSettingsPeriodMs = 60000;
// A rotation longer than a century is taken as a century, so that adding it
// to a date stays within the calendar.
constexpr int64_t kMaxRotationDays = 36500;
constexpr size_t kDateDigits = 8;

// The logs (by directory and file prefix) whose old files this thread is
// removing right now. Removing one can fail, the failure is logged, and when
// the log is the debug log that warning comes straight back to the same
// files: a log on this list is neither rotated nor cleaned again until the
// outer removal is over, so the warning is written and the recursion ends.
thread_local std::set<std::wstring> rotationsUnderWay;

std::atomic<FileRemover> fileRemover{&vfs::forcedRemove};

std::wstring dateText(const VDateTime& d) { return vaformat(L"%04d%02d%02d", d.year, d.month, d.day); }

std::wstring logPrefix(const std::wstring& name) { return L"halvexlog_" + name; }

bool isDatedLogName(const std::wstring& file, const std::wstring& prefix) {
  if (file.size() != prefix.size() + kDateDigits + 4 || file.compare(0, prefix.size(), prefix) != 0) return false;
  const auto digits = file.begin() + static_cast<std::ptrdiff_t>(prefix.size());
  return std::all_of(digits, digits + kDateDigits, [](wchar_t c) { return c >= L'0' && c <= L'9'; }) && file.ends_with(L".log");
}

std::wstring normalisedPath(std::wstring path) {
  std::replace(path.begin(), path.end(), L'\\', L'/');
  return path;
}

const std::wstring& processIdText() {
  static const std::wstring text = std::to_wstring(process::currentId());
  return text;
}

// The DWORD setting if present (a missing value keeps the current one).
void readSetting(const std::wstring& name, int64_t& value) {
  uint32_t number = 0;
  if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, name, number, RegView32) == 0) value = number;
}

}  // namespace

struct HalvexLog::Impl {
  std::wstring name;
  std::wstring directory;
  std::wstring prefix;  // "halvexlog_" + name
  int64_t enabled = 0;
  int64_t history = 3;
  int64_t rotation = 1;
  std::optional<uint64_t> lastRead;  // tick count of the last settings read
  LogFile file;
  std::wstring filePath;
  std::unique_ptr<VMutex> mutex;

  std::wstring guardKey() const { return directory + L"/" + prefix; }
  std::wstring pathFor(const std::wstring& date) const { return vfs::join(directory, prefix + date + L".log"); }
  void refreshSettings();
  std::vector<std::wstring> existingFiles() const;
  void open(const std::wstring& path);
  void openOrRotate(HalvexLog& log);
};

void HalvexLog::Impl::refreshSettings() {
  // The first write always reads, whatever the tick count (a machine may have
  // been up for less than a minute).
  const uint64_t now = process::tickCount();
  if (lastRead && (now > *lastRead ? now - *lastRead : *lastRead - now) <= kSettingsPeriodMs) return;
  readSetting(L"log_" + name + L"_enabled", enabled);
  readSetting(L"log_" + name + L"_history", history);
  readSetting(L"log_" + name + L"_rotation", rotation);
  rotation = std::min(rotation, kMaxRotationDays);
  lastRead = now;
}

std::vector<std::wstring> HalvexLog::Impl::existingFiles() const {
  // Only names with a date: "halvexlog_debug*.log" would also take in the
  // files of a log named "debugger".
  std::vector<std::wstring> paths;
  for (const vfs::DirEntry& entry : vfs::listDirectory(directory))
    if (entry.type == vfs::EntryType::File && isDatedLogName(entry.name, prefix)) paths.push_back(vfs::join(directory, entry.name));
  std::sort(paths.begin(), paths.end());
  return paths;
}

void HalvexLog::Impl::open(const std::wstring& path) {
  file = LogFile::open(path);
  filePath = path;
}

void HalvexLog::Impl::openOrRotate(HalvexLog& log) {
  const std::wstring today = dateText(VDateTime::nowLocal());
  const bool nested = rotationsUnderWay.contains(guardKey());
  if (file.valid()) {
    if (nested) return;
    const std::wstring rotationDate = getRotationDate(filePath, name, static_cast<int>(rotation));
    if (today < rotationDate) return;
    std::vector<std::wstring> paths = existingFiles();
    file.close();
    const std::wstring path = pathFor(rotationDate);
    open(path);
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    log.removeOld(paths);
    return;
  }
  vfs::createDirectories(directory, 0750);
  std::vector<std::wstring> paths = existingFiles();
  if (paths.empty()) return open(pathFor(today));
  const std::wstring rotationDate = getRotationDate(paths.back(), name, static_cast<int>(rotation));
  if (nested || today < rotationDate) {
    open(paths.back());
  } else {
    const std::wstring path = pathFor(rotationDate);
    open(path);
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  }
  if (!nested) log.removeOld(paths);
}

HalvexLog::HalvexLog(const std::wstring& name, bool enabledByDefault) : impl_(std::make_unique<Impl>()) {
  impl_->name = name.empty() ? vfs::fileName(process::executablePath()) : name;
  impl_->prefix = logPrefix(impl_->name);
  impl_->enabled = enabledByDefault ? 1 : 0;
  const std::wstring root = registry::getstr(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D", RegView32);
  impl_->directory = vfs::join(normalisedPath(root), L"admin/logs");
  impl_->mutex = std::make_unique<VMutex>(impl_->name);
}

HalvexLog::~HalvexLog() = default;

const std::wstring& HalvexLog::directory() const { return impl_->directory; }

void HalvexLog::write(const std::wstring& text) {
  std::lock_guard<VMutex> lock(*impl_->mutex);
  impl_->refreshSettings();
  if (!impl_->enabled) return impl_->file.close();
  impl_->openOrRotate(*this);
  const VDateTime now = VDateTime::nowLocal();
  const std::wstring line = vaformat(L"%04d/%02d/%02d %02d:%02d:%02d:%03d", now.year, now.month, now.day, now.hour, now.minute, now.second,
                                     now.millisecond) +
                            L" " + processIdText() + L" " + std::to_wstring(currentThreadId()) + L" " + text + L"\r\n";
  // The mark and the first line go out in one write, under the mutex, so no
  // other writer can find the file empty too.
  std::string bytes = impl_->file.size() == 0 ? std::string("\xFF\xFE") : std::string();
  bytes += text::toUtf16le(line);
  impl_->file.append(bytes);
}

void HalvexLog::removeOld(const std::vector<std::wstring>& paths) {
  const std::wstring key = impl_->guardKey();
  if (!rotationsUnderWay.insert(key).second) return;
  struct Release {
    const std::wstring& key;
    ~Release() { rotationsUnderWay.erase(key); }
  } release{key};
  const int64_t keep = std::max<int64_t>(impl_->history, 0) + 1;
  const int64_t excess = static_cast<int64_t>(paths.size()) - keep;
  for (int64_t i = 0; i < excess; ++i)
    guarded(LogLevel::Warning, [] { return VLOC(L"Failed to remove log file", "halvex::logging::HalvexLog::removeOld"); },
            [&] { fileRemover.load()(paths[static_cast<size_t>(i)]); });
}

FileRemover setFileRemover(FileRemover remover) { return fileRemover.exchange(remover ? remover : &vfs::forcedRemove); }

std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, int rotationDays) {
  const std::wstring file = vfs::fileName(path);
  const std::wstring prefix = logPrefix(name);
  int year = 0, month = 0, day = 0;
  const bool parsed = file.size() >= prefix.size() && std::swscanf(file.c_str() + prefix.size(), L"%4d%2d%2d", &year, &month, &day) == 3;
  if (!parsed) throw vexception(L"Failed to parse name", VLOC(L"", "halvex::logging::getRotationDate"));
  VDateTime date;
  date.year = static_cast<uint16_t>(year);
  date.month = static_cast<uint16_t>(month);
  date.day = static_cast<uint16_t>(day);
  VDateTime rotation = date.addSeconds(static_cast<int64_t>(rotationDays) * 86400);
  const VDateTime now = VDateTime::nowLocal();
  if (rotation < now) rotation = now;
  return dateText(rotation);
}

bool isDebugEnabled() {
  static std::atomic<uint64_t> calls{0};
  static std::atomic<uint32_t> cached{0};
  if (calls.fetch_add(1) % 16 == 0) {
    try {
      uint32_t value = 0;
      if (registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"Debug", value, RegView32) == 0) cached = value;
    } catch (...) {
      return false;
    }
  }
  return cached != 0;
}

void writeDebugLog(const char* levelName, const std::wstring& text) {
  HalvexLog log(L"debug", true);
  log.write(text::fromAnsi(levelName) + L": " + text);
}

}  // namespace halvex::logging
