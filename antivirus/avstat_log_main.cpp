// avstat-log: appends one entry to the antivirus or spam filter log, as the
// panel's mail filters do; used by the demo to give the statistics step
// something to count.
//
//   avstat-log avstat|spamstat STATUS DETAIL RECIPIENTS [VIRUS]

#include <cstdio>
#include <string>

#include "antivirus/av_log_writer.h"
#include "antivirus/av_pass.h"
#include "support/exceptions.h"
#include "support/text.h"

int main(int argc, char** argv) {
  text::initLocale();
  if (argc < 5 || argc > 6) {
    std::fprintf(stderr, "usage: avstat-log avstat|spamstat STATUS DETAIL RECIPIENTS [VIRUS]\n");
    return 1;
  }
  const std::wstring logName = text::fromAnsi(argv[1]);
  if (logName != kAntivirusLogName && logName != kSpamLogName) {
    std::fprintf(stderr, "avstat-log: unknown log '%s' (avstat or spamstat)\n", argv[1]);
    return 1;
  }
  const AvLogEntry entry{text::fromAnsi(argv[2]), text::fromAnsi(argv[3]), text::fromAnsi(argv[4]), argc == 6 ? text::fromAnsi(argv[5]) : L""};
  try {
    appendAvLogEntry(logName, entry);
  } catch (const vexception& e) {
    std::fprintf(stderr, "avstat-log: %s\n", text::toAnsi(e.fullText()).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "avstat-log: %s\n", e.what());
    return 1;
  }
  return 0;
}
