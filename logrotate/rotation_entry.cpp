#include "logrotate/rotation_entry.h"

#include <tuple>

#include "support/datetime.h"
#include "support/text.h"

namespace {
constexpr int64_t kTicksPerDay = 86400LL * 10000000LL;
}

int rotationClass(const std::wstring& path) {
  const std::wstring ext = text::lowerAscii(vfs::extension(path));
  if (ext == L".zip") return 0;
  if (ext == L".rotated") return 1;
  return 2;
}

bool RotationEntry::operator<(const RotationEntry& other) const {
  return std::make_tuple(rotationClass(path), lastWrite, std::cref(path)) <
         std::make_tuple(rotationClass(other.path), other.lastWrite, std::cref(other.path));
}

bool isAnalyserFeed(const std::wstring& name) {
  return name.starts_with(L"web") || name.starts_with(L"ftp") || name.starts_with(L"ano");
}

bool isCurrentLog(const LogRotationSettings& settings, const RotationEntry& newest, vfs::FileTime now) {
  if (settings.rotateBySize) {
    const long long limit = text::parseLeadingInt64(settings.period);
    return limit >= 0 && static_cast<uint64_t>(limit) >= newest.size;
  }
  const bool recent = newest.lastWrite + kTicksPerDay >= now;
  const VDateTime written = VDateTime::fromFileTime(newest.lastWrite);
  if (settings.period == L"daily") return recent;
  if (settings.period == L"weekly") return written.dayOfWeek == 0 && recent;
  if (settings.period == L"monthly") return written.day == 1 && recent;
  return false;
}

vfs::FileTime nowFileTime() { return VDateTime::nowUtc().toFileTime(); }
