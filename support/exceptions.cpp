#include "support/exceptions.h"

#include <cerrno>
#include <cstdio>

#include "support/vaformat.h"

vexception::vexception(std::wstring message, ExceptionLocation location) : message_(std::move(message)) {
  trace_.push_back(std::move(location));
}

vexception& vexception::addLocation(ExceptionLocation location) {
  trace_.push_back(std::move(location));
  return *this;
}

std::wstring vexception::fullText() const {
  std::wstring text = message_;
  for (const ExceptionLocation& loc : trace_) {
    text += L"\n   at ";
    text += loc.context;
    text += L"(";
    text.append(loc.function.begin(), loc.function.end());
    text += L" line ";
    text += std::to_wstring(loc.line);
    text += L")";
  }
  return text;
}

vosexception::vosexception(uint32_t code, const std::wstring& text, ExceptionLocation location) : code_(code) {
  message_ = systemErrorMessage(code) + vaformat(L" (Error code %lu)", code);
  if (!text.empty()) message_ += L" at " + text;
  trace_.push_back(std::move(location));
}

std::wstring cwrpexception::text() const {
  wchar_t buf[32];
  swprintf(buf, 32, L"0x%x", code_);
  return std::wstring(L"C structured exception: ") + buf;
}

std::wstring systemErrorMessage(uint32_t code) {
  // The texts the system message table holds for the codes this program meets.
  switch (code) {
    case 0: return L"The operation completed successfully.";
    case 1: return L"Incorrect function.";
    case 2: return L"The system cannot find the file specified.";
    case 3: return L"The system cannot find the path specified.";
    case 4: return L"The system cannot open the file.";
    case 5: return L"Access is denied.";
    case 6: return L"The handle is invalid.";
    case 8: return L"Not enough memory resources are available to process this command.";
    case 14: return L"Not enough memory resources are available to complete this operation.";
    case 17: return L"The system cannot move the file to a different disk drive.";
    case 19: return L"The media is write protected.";
    case 32: return L"The process cannot access the file because it is being used by another process.";
    case 38: return L"Reached the end of the file.";
    case 50: return L"The request is not supported.";
    case 80: return L"The file exists.";
    case 87: return L"The parameter is incorrect.";
    case 109: return L"The pipe has been ended.";
    case 112: return L"There is not enough space on the disk.";
    case 122: return L"The data area passed to a system call is too small.";
    case 126: return L"The specified module could not be found.";
    case 127: return L"The specified procedure could not be found.";
    case 145: return L"The directory is not empty.";
    case 183: return L"Cannot create a file when that file already exists.";
    case 206: return L"The filename or extension is too long.";
    case 258: return L"The wait operation timed out.";
    case 259: return L"No more data is available.";
    case 267: return L"The directory name is invalid.";
    case 1015: return L"The configuration registry database is corrupt.";
    case 1060: return L"The specified service does not exist as an installed service.";
    case 1072: return L"The specified service has been marked for deletion.";
    case 1073: return L"The specified service already exists.";
    case 1117: return L"The request could not be performed because of an I/O device error.";
    case 1225: return L"The remote computer refused the network connection.";
    case 1460: return L"This operation returned because the timeout period expired.";
    case 1921: return L"The name of the file cannot be resolved by the system.";
    case 2245: return L"The password does not meet the password policy requirements. Check the minimum password length, password complexity and password history requirements.";
    default: return L"Unknown error";
  }
}

void raiseWindowsError(const std::wstring& text, uint32_t code, ExceptionLocation location) {
  switch (code) {
    case 2: throw VFileNotFoundException(code, text, std::move(location));
    case 3: throw VPathNotFoundException(code, text, std::move(location));
    case 5: throw VAccessDeniedException(code, text, std::move(location));
    case 14: throw VOutOfMemoryException(code, text, std::move(location));
    case 32: throw VSharingViolationException(code, text, std::move(location));
    case 38: throw VEOFException(code, text, std::move(location));
    case 80: throw VFileExistsException(code, text, std::move(location));
    case 122: throw VInsufficientBufferException(code, text, std::move(location));
    case 183: throw VAlreadyExistsException(code, text, std::move(location));
    case 1060: throw VServiceDoesNotExistException(code, text, std::move(location));
    case 1072: throw VServiceMarkedForDeleteException(code, text, std::move(location));
    case 1073: throw VServiceAlreadyExistsException(code, text, std::move(location));
    case 2245: throw VPasswordTooShortException(code, text, std::move(location));
    default: throw vosexception(code, text, std::move(location));
  }
}

uint32_t windowsErrorFromErrno(int err, bool aboutDirectory) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return aboutDirectory ? winerr::PathNotFound : winerr::FileNotFound;
    case ENOTDIR: return winerr::PathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return winerr::AccessDenied;
    case ENOMEM: return winerr::OutOfMemory;
    case EEXIST: return aboutDirectory ? winerr::AlreadyExists : winerr::FileExists;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK: return winerr::SharingViolation;
    case EMFILE:
    case ENFILE: return winerr::TooManyOpenFiles;
    case EBADF: return winerr::InvalidHandle;
    case EXDEV: return winerr::NotSameDevice;
    case ENOSYS:
    case EOPNOTSUPP: return winerr::NotSupported;
    case EINVAL: return winerr::InvalidParameter;
    case EPIPE: return winerr::BrokenPipe;
    case ENOSPC:
    case EDQUOT: return winerr::DiskFull;
    case ERANGE:
    case E2BIG: return winerr::InsufficientBuffer;
    case ENOTEMPTY: return winerr::DirNotEmpty;
    case ENAMETOOLONG: return winerr::FilenameTooLong;
    case ELOOP: return winerr::CantResolveFilename;
    case EIO: return winerr::IoDevice;
    case ECONNREFUSED: return winerr::ConnectionRefused;
    case ETIMEDOUT: return winerr::Timeout;
    default: return 0x20000000u | static_cast<uint32_t>(err);  // customer bit: an errno without counterpart
  }
}

void raiseErrno(int err, const std::wstring& text, ExceptionLocation location, bool aboutDirectory) {
  raiseWindowsError(text, windowsErrorFromErrno(err, aboutDirectory), std::move(location));
}

void raiseErrno(const std::wstring& text, ExceptionLocation location, bool aboutDirectory) {
  raiseErrno(errno, text, std::move(location), aboutDirectory);
}
