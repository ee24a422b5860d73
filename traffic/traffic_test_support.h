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

namespace traffictest {

// Sends every level to a scratch console stream and nothing to the event
// log, for as long as it lives.
class LogCapture {
 public:
  LogCapture() : saved_(LogManager::instance().flags()), stream_(std::tmpfile()) {
    OutputFlags& flags = LogManager::instance().flags();
    for (int level = 0; level < 6; ++level) {
      flags.flag[static_cast<size_t>(level)] = true;
      flags.flag[static_cast<size_t>(6 + level)] = false;
    }
    LogManager::instance().setConsoleStream(stream_);
  }
  ~LogCapture() {
    LogManager::instance().setConsoleStream(nullptr);
    LogManager::instance().flags() = saved_;
    std::fclose(stream_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far (messages separated by line breaks).
  std::wstring text() const {
    std::fflush(stream_);
    std::string bytes;
    std::rewind(stream_);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream_)) > 0;) bytes.append(buffer, n);
    std::fseek(stream_, 0, SEEK_END);
    return text::fromUtf8(bytes);
  }
  bool contains(const std::wstring& part) const { return text().find(part) != std::wstring::npos; }

 private:
  OutputFlags saved_;
  FILE* stream_;
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
