// The child process of the platform tests. Modes:
//   args A B ...         prints each argument as "[A]" on a line of its own
//   env NAME             prints the value of the environment variable
//   cmdline ...          prints process::commandLine() in UTF-8
//   spew LINES CODE      writes "out N" to stdout and "err N" to stderr in
//                        turn, LINES of each, then exits with CODE
//   segv | divide | overflow
//                        installs the fault handlers, then faults
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/crashdump.h"
#include "support/process.h"
#include "support/text.h"

namespace {

void writeAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n <= 0) std::exit(3);
    done += static_cast<size_t>(n);
  }
}

int spew(long lines, int code) {
  for (long i = 0; i < lines; ++i) {
    writeAll(STDOUT_FILENO, "out " + std::to_string(i) + "\n");
    writeAll(STDERR_FILENO, "err " + std::to_string(i) + "\n");
  }
  return code;
}

volatile int zero = 0;
int* volatile nowhere = nullptr;
volatile int depthLimit = 1 << 30;  // never reached: the stack ends first

int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth >= depthLimit) return 0;
  // The addition after the call keeps it from becoming a loop.
  return recurse(depth + 1) + frame[0];
}

}  // namespace

int main(int argc, char** argv) {
  text::initLocale();
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "args") {
    for (int i = 2; i < argc; ++i) writeAll(STDOUT_FILENO, std::string("[") + argv[i] + "]\n");
    return 0;
  }
  if (mode == "env" && argc == 3) {
    const char* value = std::getenv(argv[2]);
    writeAll(STDOUT_FILENO, value ? value : "(unset)");
    return 0;
  }
  if (mode == "cmdline") {
    writeAll(STDOUT_FILENO, text::toUtf8(process::commandLine()));
    return 0;
  }
  if (mode == "spew" && argc == 4) return spew(std::atol(argv[2]), std::atoi(argv[3]));
  installFaultHandlers();
  if (mode == "segv") return *nowhere;
  if (mode == "divide") return 10 / zero;
  if (mode == "overflow") return recurse(0);
  return 2;
}
