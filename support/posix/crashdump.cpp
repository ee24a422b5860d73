// The fault handlers on POSIX. The handler runs in a broken process, so it
// only uses async-signal-safe calls: everything it needs (paths, the UTC
// offset, the stack range) is computed when the handlers are installed.
#include "support/crashdump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/logging.h"
#include "support/process.h"
#include "support/text.h"

namespace {

struct FaultSettings {
  bool enabled = false;
  char reportPrefix[PATH_MAX] = {};  // "<directory>/<prefix>"
  char program[PATH_MAX] = {};
  char name[256] = {};
  long utcOffset = 0;  // seconds east of UTC when installed; a later DST change is not followed
  uintptr_t stackLow = 0, stackHigh = 0;
};
FaultSettings settings;

void copyText(char* to, size_t size, const std::string& from) {
  std::snprintf(to, size, "%s", from.c_str());
}

// A fixed buffer that formats without allocating.
class Line {
 public:
  Line& str(const char* s) {
    while (*s && n_ < sizeof buf_ - 1) buf_[n_++] = *s++;
    return *this;
  }
  Line& dec(unsigned long long v, int width = 1) {
    char digits[24];
    int k = 0;
    do {
      digits[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (k < width) digits[k++] = '0';
    while (k > 0 && n_ < sizeof buf_ - 1) buf_[n_++] = digits[--k];
    return *this;
  }
  Line& hex(unsigned long long v) {
    char digits[20];
    int k = 0;
    do {
      digits[k++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v != 0);
    str("0x");
    while (k > 0 && n_ < sizeof buf_ - 1) buf_[n_++] = digits[--k];
    return *this;
  }
  const char* c_str() {
    buf_[n_] = '\0';
    return buf_;
  }
  void writeTo(int fd) const {
    size_t done = 0;
    while (done < n_) {
      const ssize_t w = ::write(fd, buf_ + done, n_ - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;
      done += static_cast<size_t>(w);
    }
  }

 private:
  char buf_[PATH_MAX + 512];
  size_t n_ = 0;
};

const char* signalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    default: return "signal";
  }
}

const char* codeName(uint32_t code) {
  switch (code) {
    case 0xc0000005: return "access violation";
    case 0xc0000006: return "in-page error";
    case 0x80000002: return "datatype misalignment";
    case 0xc00000fd: return "stack overflow";
    case 0xc0000094: return "integer divide by zero";
    case 0xc0000095: return "integer overflow";
    case 0xc000001d: return "illegal instruction";
    case 0xc0000096: return "privileged instruction";
    default: return "floating-point fault";
  }
}

// Local calendar time of a UTC second count (days-from-civil inverted).
void appendStamp(Line& line, time_t utc) {
  const long long local = static_cast<long long>(utc) + settings.utcOffset;
  long long days = local / 86400;
  long long secs = local % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = static_cast<long long>(yoe) + era * 400 + (month <= 2);
  line.dec(static_cast<unsigned long long>(year), 4).dec(month, 2).dec(day, 2).str("_");
  line.dec(static_cast<unsigned long long>(secs / 3600), 2).dec(static_cast<unsigned long long>(secs / 60 % 60), 2).dec(static_cast<unsigned long long>(secs % 60), 2);
}

// Creates the report file; a second fault in the same second gets "_2" and on.
int createReport(Line& path) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  for (int attempt = 1; attempt <= 9; ++attempt) {
    path = Line();
    path.str(settings.reportPrefix);
    appendStamp(path, now.tv_sec);
    if (attempt > 1) path.str("_").dec(static_cast<unsigned>(attempt));
    path.str(".dmp");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void writeReport(int fd, int sig, uint32_t code, const void* address) {
  Line head;
  head.str("Crash report of ").str(settings.program).str("\nProcess: ").dec(static_cast<unsigned>(::getpid()));
  head.str("\nSignal: ").dec(static_cast<unsigned>(sig)).str(" (").str(signalName(sig)).str(")");
  head.str("\nException: C structured exception: ").hex(code).str(" (").str(codeName(code)).str(")");
  head.str("\nAddress: ").hex(reinterpret_cast<uintptr_t>(address)).str("\nBacktrace:\n");
  head.writeTo(fd);
  void* frames[64];
  const int n = ::backtrace(frames, 64);
  ::backtrace_symbols_fd(frames, n, fd);
}

bool isStackOverflow(int sig, const void* address) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(address);
  // The guard region below the lowest page the stack may reach, with some slack.
  return sig == SIGSEGV && settings.stackHigh != 0 && a < settings.stackHigh && a + (1u << 20) >= settings.stackLow;
}

void onFault(int sig, siginfo_t* info, void*) {
  const uint32_t code = isStackOverflow(sig, info->si_addr) ? 0xc00000fd : faultExceptionCode(sig, info->si_code);
  Line path;
  const int fd = settings.enabled ? createReport(path) : -1;
  if (fd >= 0) {
    writeReport(fd, sig, code, info->si_addr);
    ::close(fd);
  }
  Line line;
  line.str(settings.name).str(": fatal ").str(signalName(sig)).str(", exception ").hex(code).str(" (").str(codeName(code));
  line.str(") at address ").hex(reinterpret_cast<uintptr_t>(info->si_addr));
  if (fd >= 0)
    line.str("; crash report ").str(path.c_str());
  else
    line.str(settings.enabled ? "; the crash report could not be written" : "; crash reports are disabled");
  line.str("\n").writeTo(STDERR_FILENO);
  ::_exit(1);
}

// The main thread's stack range, from /proc/self/maps and the stack limit.
void findStack() {
  FILE* maps = std::fopen("/proc/self/maps", "re");
  if (!maps) return;
  char row[512];
  unsigned long low = 0, high = 0;
  while (std::fgets(row, sizeof row, maps)) {
    if (std::strstr(row, "[stack]") && std::sscanf(row, "%lx-%lx", &low, &high) == 2) break;
    high = 0;
  }
  std::fclose(maps);
  struct rlimit limit;
  if (high == 0 || ::getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > high) return;
  settings.stackHigh = high;
  settings.stackLow = high - limit.rlim_cur;
}

void prepare(const CrashDumpInfo* info) {
  const std::wstring program = process::executablePath();
  copyText(settings.program, sizeof settings.program, text::toAnsi(program));
  copyText(settings.name, sizeof settings.name, text::toAnsi(info ? info->prefix() : program));
  if (info && info->enabled()) {
    copyText(settings.reportPrefix, sizeof settings.reportPrefix, text::toAnsi(info->directory() + L"/" + info->prefix()));
    settings.enabled = true;
  }
  const time_t now = ::time(nullptr);
  struct tm local;
  if (::localtime_r(&now, &local)) settings.utcOffset = local.tm_gmtoff;
  findStack();
  // backtrace loads its unwinder on first use; that must not happen in the handler.
  void* frames[2];
  ::backtrace(frames, 2);
}

std::unique_ptr<CrashDumpInfo> crashDumpInfo;

void pruneAtExit() {
  try {
    if (crashDumpInfo) crashDumpInfo->pruneOldDumps();
  } catch (...) {
  }
}

}  // namespace

uint32_t faultExceptionCode(int signal, int signalCode) {
  switch (signal) {
    case SIGSEGV: return 0xc0000005;
    case SIGBUS: return signalCode == BUS_ADRALN ? 0x80000002 : 0xc0000006;
    case SIGILL: return signalCode == ILL_PRVOPC ? 0xc0000096 : 0xc000001d;
    case SIGFPE:
      switch (signalCode) {
        case FPE_INTDIV: return 0xc0000094;
        case FPE_INTOVF: return 0xc0000095;
        case FPE_FLTDIV: return 0xc000008e;
        case FPE_FLTRES: return 0xc000008f;
        case FPE_FLTOVF: return 0xc0000091;
        case FPE_FLTUND: return 0xc0000093;
        default: return 0xc0000090;  // invalid floating-point operation
      }
    default: return 0;
  }
}

void installFaultHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;

  guarded(LogLevel::Warning, VLOC(L"Unable to read crash dump settings", "installFaultHandlers"),
          [] { crashDumpInfo = std::make_unique<CrashDumpInfo>(); });
  prepare(crashDumpInfo.get());
  std::atexit(pruneAtExit);

  // A stack overflow leaves no stack to run the handler on: give it its own.
  const long wanted = ::sysconf(_SC_SIGSTKSZ);
  const size_t size = std::max<size_t>(wanted > 0 ? static_cast<size_t>(wanted) : 0, 256 * 1024);
  // Lives as long as the process; kept in a static so that the leak checker
  // of the sanitizer build sees it held.
  static char* const altStack = new char[size];
  stack_t alt{};
  alt.ss_sp = altStack;
  alt.ss_size = size;
  ::sigaltstack(&alt, nullptr);

  struct sigaction action{};
  action.sa_sigaction = onFault;
  sigemptyset(&action.sa_mask);
  // SA_RESETHAND: a fault inside the handler ends the process by the signal instead of looping.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::sigaction(sig, &action, nullptr);
}
