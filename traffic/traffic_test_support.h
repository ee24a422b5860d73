// Helpers shared by the tests of the traffic collection: capturing what the
// log dispatch writes, and a domain model built by hand.
#pragma once

// A live process of another id, for locks held elsewhere.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "config/domain.h"
#include "support/logging.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace traffictest {

// The shared capture, read as wide text.
class LogCapture : public testkit::LogCapture {
 public:
  std::wstring text() const { return text::fromUtf8(testkit::LogCapture::text()); }
  bool contains(const std::wstring& part) const { return text().find(part) != std::wstring::npos; }
};

// A real process that lives until the object is destroyed.
class LiveProcess {
 public:
  LiveProcess() {
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("600"), nullptr};
    char* noEnvironment[] = {nullptr};
    if (posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, noEnvironment) != 0) pid_ = 0;
  }
  ~LiveProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  LiveProcess(const LiveProcess&) = delete;
  LiveProcess& operator=(const LiveProcess&) = delete;
  uint32_t id() const { return static_cast<uint32_t>(pid_); }

 private:
  pid_t pid_ = 0;
};

// Adds a domain to the model under an id and a name.
inline DomainInfo& addDomain(DomainModel& model, const std::wstring& id, const std::wstring& name) {
  auto domain = std::make_shared<DomainInfo>(id, name);
  model.domainsById[id] = domain;
  model.domainIdsByName[name] = id;
  return *domain;
}

// A loaded window from start (inclusive) to end (exclusive).
inline void setWindow(LogWindow& window, const VDateTime& start, const VDateTime& end) {
  window.start = start;
  window.end = end;
  window.notLoaded = false;
}

inline VDateTime at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  VDateTime t;
  t.year = static_cast<uint16_t>(year);
  t.month = static_cast<uint16_t>(month);
  t.day = static_cast<uint16_t>(day);
  t.hour = static_cast<uint16_t>(hour);
  t.minute = static_cast<uint16_t>(minute);
  t.second = static_cast<uint16_t>(second);
  return t;
}

}  // namespace traffictest
