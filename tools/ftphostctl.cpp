// ftphostctl for Linux hosts: answers the statistics utility's request
//   ftphostctl --get-log-directory --ip-address=IP
// with the log directory of the FTP site bound to that address, printed
// without a line break (the caller takes the output as it stands). The
// answer comes from the host's layout: the FTP server writes the W3C logs of
// the site on an address into <PRODUCT_DATA_D>/ftp/logs/<IP>, unless the
// setting "FtpLogsDirectory" of the configuration key names another path, in
// which "<ip>" stands for the address (e.g. /var/log/proftpd/<ip>). An
// address without such a directory, or with a link in its place, is an
// error (exit code 1).
#include <cstdio>
#include <string>

#include "support/exceptions.h"
#include "support/fs.h"
#include "support/logging.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "ftphostctl: %s\n", message.c_str());
  return 1;
}

bool plausibleAddress(const std::string& ip) {
  if (ip.empty() || ip.size() > 64) return false;
  for (char c : ip)
    if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':')) return false;
  return true;
}

// The directory of the address's logs by the setting, or the default.
std::wstring logDirectory(const std::wstring& ip) {
  std::wstring pattern;
  registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"FtpLogsDirectory", pattern);
  if (pattern.empty()) return vfs::join(vfs::join(getProductSetting(L"PRODUCT_DATA_D"), L"ftp/logs"), ip);
  const std::wstring setting = std::wstring(kConfigKey) + L"\\FtpLogsDirectory";
  const std::wstring placeholder = L"<ip>";
  if (pattern[0] != L'/' || pattern.find(placeholder) == std::wstring::npos)
    throw vexception(L"The setting " + setting + L" must be an absolute path holding <ip>: " + pattern, VLOC(L"", "ftphostctl"));
  std::wstring dir;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern.compare(i, placeholder.size(), placeholder) == 0) {
      dir += ip;
      i += placeholder.size();
    } else {
      dir += pattern[i++];
    }
  }
  return dir;
}

}  // namespace

int main(int argc, char** argv) {
  text::initLocale();
  std::string ip;
  bool requested = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--get-log-directory")
      requested = true;
    else if (arg.rfind("--ip-address=", 0) == 0)
      ip = arg.substr(13);
    else
      return fail("unknown argument '" + arg + "'");
  }
  if (!requested || ip.empty()) return fail("usage: ftphostctl --get-log-directory --ip-address=IP");
  if (!plausibleAddress(ip)) return fail("'" + ip + "' is no IP address");
  try {
    const std::wstring dir = logDirectory(text::fromAnsi(ip));
    if (!vfs::isDirectory(dir)) return fail("no FTP site log directory for " + ip + " (" + text::toUtf8(dir) + ")");
    // A link in its place is refused (the open raises).
    vfs::Directory::open(dir);
    const std::string out = text::toAnsi(dir);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const vexception& e) {
    return fail(text::toUtf8(e.fullText()));
  }
}
