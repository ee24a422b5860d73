// ftphostctl for Linux hosts: answers the statistics utility's request
//   ftphostctl --get-log-directory --ip-address=IP
// with the log directory of the FTP site bound to that address, printed
// without a line break (the caller takes the output as it stands). The
// answer comes from the host's layout: the FTP server writes the W3C logs of
// the site on an address into <PRODUCT_DATA_D>/ftp/logs/<IP>. An address
// without such a directory is an error (exit code 1).
#include <cstdio>
#include <string>

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
    const std::wstring dir = vfs::join(vfs::join(getProductSetting(L"PRODUCT_DATA_D"), L"ftp/logs"), text::fromAnsi(ip));
    if (!vfs::isDirectory(dir)) return fail("no FTP site log directory for " + ip + " (" + text::toUtf8(dir) + ")");
    const std::string out = text::toAnsi(dir);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const vexception& e) {
    return fail(text::toUtf8(e.fullText()));
  }
}
