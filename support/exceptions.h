// The exception family that the whole program throws and catches, and the
// single rule by which an exception becomes text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry of an exception's trace: where it passed and in which unit of work.
struct ExceptionLocation {
  std::wstring context;  // may be empty
  std::string function;  // "class::method"
  int line = 0;
};

// Builds a location for the current source line.
#define VLOC(context, function) ExceptionLocation{(context), (function), __LINE__}

// The base of every failure the program reports. Deliberately not derived
// from std::exception: the standard catch set treats the two differently.
class vexception {
 public:
  vexception(std::wstring message, ExceptionLocation location);
  virtual ~vexception() = default;

  const std::wstring& message() const { return message_; }
  const std::vector<ExceptionLocation>& trace() const { return trace_; }

  // Appends a trace entry (outermost last) and returns the same object.
  vexception& addLocation(ExceptionLocation location);

  // The message, then "\n   at context(function line N)" per trace entry.
  std::wstring fullText() const;

 protected:
  vexception() = default;
  std::wstring message_;
  std::vector<ExceptionLocation> trace_;
};

// A failure of the operating system, carrying the Windows error code that the
// POSIX failure corresponds to, so that the whole program speaks one family.
class vosexception : public vexception {
 public:
  vosexception(uint32_t code, const std::wstring& text, ExceptionLocation location);
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

#define HALVEX_OS_EXCEPTION(name)                                                        \
  class name : public vosexception {                                                     \
   public:                                                                               \
    name(uint32_t code, const std::wstring& text, ExceptionLocation location)             \
        : vosexception(code, text, std::move(location)) {}                               \
  };
HALVEX_OS_EXCEPTION(VFileNotFoundException)             // 2
HALVEX_OS_EXCEPTION(VPathNotFoundException)             // 3
HALVEX_OS_EXCEPTION(VAccessDeniedException)             // 5
HALVEX_OS_EXCEPTION(VOutOfMemoryException)              // 14
HALVEX_OS_EXCEPTION(VSharingViolationException)         // 32
HALVEX_OS_EXCEPTION(VEOFException)                      // 38
HALVEX_OS_EXCEPTION(VFileExistsException)               // 80
HALVEX_OS_EXCEPTION(VInsufficientBufferException)       // 122
HALVEX_OS_EXCEPTION(VAlreadyExistsException)            // 183
HALVEX_OS_EXCEPTION(VServiceDoesNotExistException)      // 1060
HALVEX_OS_EXCEPTION(VServiceMarkedForDeleteException)   // 1072
HALVEX_OS_EXCEPTION(VServiceAlreadyExistsException)     // 1073
HALVEX_OS_EXCEPTION(VPasswordTooShortException)         // 2245
#undef HALVEX_OS_EXCEPTION

// A processor fault or other structured exception, by its code. Not a vexception.
class cwrpexception {
 public:
  explicit cwrpexception(uint32_t code) : code_(code) {}
  uint32_t code() const { return code_; }
  // "C structured exception: 0x" + the code in lowercase hexadecimal.
  std::wstring text() const;

 private:
  uint32_t code_;
};

// Windows error codes the platform layer produces.
namespace winerr {
constexpr uint32_t FileNotFound = 2;
constexpr uint32_t PathNotFound = 3;
constexpr uint32_t TooManyOpenFiles = 4;
constexpr uint32_t AccessDenied = 5;
constexpr uint32_t InvalidHandle = 6;
constexpr uint32_t OutOfMemory = 14;
constexpr uint32_t NotSameDevice = 17;
constexpr uint32_t SharingViolation = 32;
constexpr uint32_t HandleEof = 38;
constexpr uint32_t NotSupported = 50;
constexpr uint32_t FileExists = 80;
constexpr uint32_t InvalidParameter = 87;
constexpr uint32_t BrokenPipe = 109;
constexpr uint32_t DiskFull = 112;
constexpr uint32_t InsufficientBuffer = 122;
constexpr uint32_t DirNotEmpty = 145;
constexpr uint32_t AlreadyExists = 183;
constexpr uint32_t FilenameTooLong = 206;
constexpr uint32_t NoMoreItems = 259;
constexpr uint32_t WaitTimeout = 258;
constexpr uint32_t IoDevice = 1117;
constexpr uint32_t ConnectionRefused = 1225;
constexpr uint32_t Timeout = 1460;
constexpr uint32_t CantResolveFilename = 1921;
}  // namespace winerr

// The system's message for a Windows error code, without trailing line breaks,
// or "Unknown error".
std::wstring systemErrorMessage(uint32_t code);

// Throws the vosexception class that belongs to the code.
[[noreturn]] void raiseWindowsError(const std::wstring& text, uint32_t code, ExceptionLocation location);

// The Windows error code that corresponds to a POSIX errno value. ENOENT maps
// to 2 (file not found), or to 3 (path not found) when `aboutDirectory` is set;
// EEXIST to 80 for files and 183 for directories.
uint32_t windowsErrorFromErrno(int err, bool aboutDirectory = false);

// raiseWindowsError for the current errno.
[[noreturn]] void raiseErrno(const std::wstring& text, ExceptionLocation location, bool aboutDirectory = false);
[[noreturn]] void raiseErrno(int err, const std::wstring& text, ExceptionLocation location, bool aboutDirectory = false);
