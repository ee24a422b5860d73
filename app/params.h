// The command-line options and the mode flags they select.
#pragma once

#include <cstdint>
#include <map>
#include <string>

enum ModeFlags : uint32_t {
  DiskUsage = 0x1,
  HttpTraffic = 0x2,
  FtpTraffic = 0x4,
  MailTraffic = 0x10,
  Notify = 0x20,
  UpdateActions = 0x40,
  HttpWebStatistics = 0x80,
  FtpWebStatistics = 0x100,
  MailboxUsage = 0x200,
  Antivirus = 0x400,
  ShowHelp = 0x10000000,
  AllModes = 0x657,
};

// Options collected from "--name" or "--name=value" arguments; a name given
// twice keeps the later value.
class Params {
 public:
  Params(int argc, const wchar_t* const* argv);

  // Rejects the first name outside the allowed list: "Unexpected parameter "
  // + name + ". Possible parameters:\n" + the list.
  void check() const;
  bool has(const std::wstring& name) const;
  std::wstring get(const std::wstring& name, bool required = false, const std::wstring& defaultValue = std::wstring()) const;
  [[noreturn]] static void reportMissingParameter(const std::wstring& name);

  const std::map<std::wstring, std::wstring>& values() const { return values_; }

 private:
  std::map<std::wstring, std::wstring> values_;
};

// The mode flags; prints the usage text and returns ShowHelp for -h/--help.
uint32_t getModeFlags(const Params& params);

// The usage text, byte for byte.
extern const char* const kUsageText;
