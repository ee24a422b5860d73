// The process entry: one `statistics` object, its run, its exit code.
#include <vector>

#include "app/statistics.h"
#include "support/crashdump.h"
#include "support/text.h"

int main(int argc, char** argv) {
  text::initLocale();
  installFaultHandlers();
  std::vector<std::wstring> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(text::fromAnsi(argv[i]));
  std::vector<const wchar_t*> wargv;
  for (const std::wstring& a : args) wargv.push_back(a.c_str());
  wargv.push_back(nullptr);
  int code;
  {
    statistics app;
    code = app.run(argc, wargv.data());
  }
  return code;
}
