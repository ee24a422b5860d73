// Running the panel's command-line utilities (webhostctl, ftphostctl) from
// <PRODUCT_ROOT_D>/admin/bin, with their output captured and every run traced
// in the "util_exec" log; and scratch files for the runs.
#pragma once

#include <memory>
#include <string>

// The utility's full path; a name given with ".exe" loses it. The path may
// be a link by the trust rule of the file-system layer (as packages install
// utilities). Raises "Unable to find path of '" + name + "'" when it is not
// installed, or only through a link someone else could have made.
std::wstring findUtilPath(const std::wstring& name, bool prefer64 = true);

// Runs the utility with the argument string (already quoted; split by the
// Windows command-line rules into argv, no shell) and waits. Returns only
// when the exit code is 0; otherwise raises "Execute <name> <masked
// arguments> failed with error code N: <output>". `output`, when given, gets
// everything the utility wrote to standard output and standard error.
void execHalvexUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output = nullptr);
// The same, with the output given as the bytes the utility wrote: an answer
// for a whole host is never held as wide text.
void execHalvexUtil(const std::wstring& name, const std::wstring& arguments, std::string& output);

// A uniquely named scratch file in <PRODUCT_ROOT_D>/PrivateTemp when that
// directory exists, else in the system temporary directory; deleted with its
// holder (errors of the deletion are ignored).
class TemporaryFile {
 public:
  TemporaryFile();
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::wstring& path() const { return path_; }
  // Copies a regular file over the scratch file. A failure while another
  // process holds the source raises "Copy file '%s' to '%s'. Processes: %s";
  // any other "copy file <source> to <destination>".
  void copyFrom(const std::wstring& source);
  // Replaces the content.
  void write(const std::string& bytes);

 private:
  std::wstring path_;
};
