// The child process of the support library's tests: each mode does one thing
// that must happen in a process of its own (a second writer of the store, a
// second holder of a mutex, a fresh debug switch) and reports on stdout.
//   write-values PREFIX COUNT      writes DWORDs PREFIX_0 ... into the test key
//   hold-mutex NAME                takes the mutex, prints "locked", waits for stdin to close
//   try-mutex NAME                 prints "taken" or "busy" (no wait)
//   log-message TEXT               logs TEXT at Info through the dispatch
//   failing-removal PATH           logs one message while the old debug log PATH cannot be removed;
//                                  prints the number of removal attempts
#include <cstdio>
#include <cstring>
#include <string>

#include "support/halvexlog.h"
#include "support/logging.h"
#include "support/mutex.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

constexpr const wchar_t* kTestKey = L"SOFTWARE\\Halvex\\Test\\Concurrent";

int writeValues(const std::wstring& prefix, int count) {
  for (int i = 0; i < count; ++i)
    if (registry::setDword(HKEY_LOCAL_MACHINE, kTestKey, prefix + L"_" + std::to_wstring(i), static_cast<uint32_t>(i)) != 0) return 2;
  return 0;
}

int holdMutex(const std::wstring& name) {
  VMutex mutex(name);
  if (!mutex.lock()) return 2;
  std::puts("locked");
  std::fflush(stdout);
  // Held until the test closes our input or kills us.
  int c;
  while ((c = std::getchar()) != EOF) {
  }
  mutex.unlock();
  return 0;
}

int tryMutex(const std::wstring& name) {
  VMutex mutex(name);
  std::puts(mutex.lock(0) ? "taken" : "busy");
  return 0;
}

std::wstring failingPath;
int removalAttempts = 0;

void failingRemover(const std::wstring& path) {
  ++removalAttempts;
  if (path == failingPath) throw vexception(L"cannot remove " + path, VLOC(L"", "test::failingRemover"));
  std::remove(text::toAnsi(path).c_str());
}

int failingRemoval(const std::wstring& path) {
  failingPath = path;
  halvex::logging::setFileRemover(&failingRemover);
  logMessage(LogLevel::Info, L"message that rotates");
  std::printf("%d\n", removalAttempts);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  text::initLocale();
  if (argc < 3) return 64;
  const std::string mode = argv[1];
  const std::wstring arg = text::fromAnsi(argv[2]);
  if (mode == "write-values" && argc == 4) return writeValues(arg, std::atoi(argv[3]));
  if (mode == "hold-mutex") return holdMutex(arg);
  if (mode == "try-mutex") return tryMutex(arg);
  if (mode == "log-message") {
    logMessage(LogLevel::Info, L"%s", arg);
    return 0;
  }
  if (mode == "failing-removal") return failingRemoval(arg);
  return 64;
}
