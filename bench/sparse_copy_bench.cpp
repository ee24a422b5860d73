// Root's extra disk per sparse tenant file: a tenant's log of a large
// apparent size and little data is copied as the traffic step copies a due
// log, and the copy's allocated bytes are printed beside the source's.
// Usage: sparse_copy_bench [apparent size in MiB (2048)] [data pieces (16)]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/fs.h"
#include "support/process.h"
#include "support/text.h"

int main(int argc, char** argv) {
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 2048;
  const int pieces = argc > 2 ? std::atoi(argv[2]) : 16;
  const off_t size = static_cast<off_t>(mib) << 20;
  const std::string dir = text::toAnsi(process::systemTempDirectory()) + "/sparse-bench-" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0700);
  const std::string source = dir + "/tenant.log", copy = dir + "/copy.log";
  const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0 || ::ftruncate(fd, size) != 0) return std::perror(source.c_str()), 1;
  const std::string line(4096, 'x');
  for (int i = 0; i < pieces; ++i)
    if (::pwrite(fd, line.data(), line.size(), size / pieces * i) < 0) return std::perror(source.c_str()), 1;
  ::close(fd);
  vfs::copyFile(text::fromAnsi(source), text::fromAnsi(copy));
  struct stat s, c;
  ::stat(source.c_str(), &s);
  ::stat(copy.c_str(), &c);
  std::printf("apparent size        %12lld bytes\n", static_cast<long long>(s.st_size));
  std::printf("source allocated     %12lld bytes\n", static_cast<long long>(s.st_blocks) * 512);
  std::printf("copy size            %12lld bytes\n", static_cast<long long>(c.st_size));
  std::printf("copy allocated       %12lld bytes (root's extra disk per file)\n", static_cast<long long>(c.st_blocks) * 512);
  vfs::removeTree(text::fromAnsi(dir));
  return 0;
}
