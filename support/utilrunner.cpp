#include "support/utilrunner.h"

#include "support/cmdline.h"
#include "support/fs.h"
#include "support/halvexlog.h"
#include "support/logging.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/text.h"

namespace {

void writeToUtilExecLog(const wchar_t* phase, const std::wstring& utilPath, const std::wstring& maskedArgs, const std::wstring& elapsed) {
  guarded(LogLevel::Info, VLOC(L"writeToUtilExecLog", "writeToUtilExecLog"), [&] {
    halvex::logging::HalvexLog log(L"util_exec", false);
    log.write(vaformat(L"execUtil(%s)\t%s\t%s\t%s\t%s\n", phase, process::executablePath(), utilPath, maskedArgs, elapsed));
  });
}

std::wstring privateTempDirectory() {
  std::wstring root;
  try {
    registry::lookup(HKEY_LOCAL_MACHINE, kConfigKey, L"PRODUCT_ROOT_D", root);
  } catch (...) {
    root.clear();
  }
  if (!root.empty()) {
    const std::wstring dir = vfs::join(root, L"PrivateTemp");
    if (vfs::isDirectory(dir)) return dir;
  }
  return process::systemTempDirectory();
}

}  // namespace

std::wstring findUtilPath(const std::wstring& name, bool /*prefer64: the program is a native 64-bit process*/) {
  std::wstring file = name;
  if (text::equalsIgnoreCase(vfs::extension(file), L".exe")) file.resize(file.size() - 4);
  const std::wstring path = vfs::join(vfs::join(getProductRoot(), L"admin/bin"), file);
  // The installation's own directory: a package may install its utilities
  // as links, which are followed when root (or we) made them where no one
  // else can write.
  if (vfs::isTrustedRegularFile(path)) return path;
  throw vexception(L"Unable to find path of '" + name + L"'", VLOC(L"", "findUtilPath"));
}

void execHalvexUtil(const std::wstring& name, const std::wstring& arguments, std::string& output) {
  output.clear();
  const std::wstring masked = maskCommandLine(arguments);
  const uint64_t started = process::tickCount();
  std::wstring path = name;
  rethrowing([&] { return VLOC(vaformat(L"Execute %s %s", path, masked), "execHalvexUtil"); }, [&] {
    process::RunResult result;
    rethrowing([&] { return VLOC(vaformat(L"Starting %s %s", path, masked), "startHalvexUtilInternal"); }, [&] {
      path = findUtilPath(name, true);
      writeToUtilExecLog(L"Start", path, masked, L"");
      logMessage(LogLevel::Info, L"Execute %s %s", path, masked);
    });
    // The child is started directly with argv split by the Windows rules; its
    // output is read to the end before the wait.
    result = process::run(path, splitArguments(arguments));
    if (result.exitCode != 0)
      throw vexception(L"Execute " + name + L" " + masked + L" failed with error code " + std::to_wstring(result.exitCode) + L": " +
                           text::fromAnsi(result.output),
                       VLOC(L"", "execHalvexUtil"));
    output = std::move(result.output);
    writeToUtilExecLog(L"End", path, masked, std::to_wstring(process::tickCount() - started));
  });
}

void execHalvexUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output) {
  if (output) output->clear();
  std::string bytes;
  execHalvexUtil(name, arguments, bytes);
  if (output) *output = text::fromAnsi(bytes);
}

TemporaryFile::TemporaryFile() {
  const std::wstring dir = privateTempDirectory();
  vfs::Directory d = vfs::Directory::open(dir);
  vfs::File file;
  const std::wstring name = d.createUnique(process::newGuid(), file);
  path_ = vfs::join(dir, name);
}

TemporaryFile::~TemporaryFile() {
  try {
    vfs::forcedRemove(path_);
  } catch (...) {
  }
}

void TemporaryFile::copyFrom(const std::wstring& source) {
  try {
    vfs::copyFile(source, path_);
  } catch (const vexception&) {
    if (vfs::isFileInUse(source)) {
      std::wstring names;
      for (const std::wstring& p : vfs::processesUsingFile(source)) names += (names.empty() ? L"" : L", ") + p;
      throw vexception(vaformat(L"Copy file '%s' to '%s'. Processes: %s", source, path_, names), VLOC(L"", "TemporaryFile::copyFrom"));
    }
    throw;
  }
}

void TemporaryFile::write(const std::string& bytes) { vfs::writeFile(path_, bytes); }
