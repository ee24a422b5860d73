// The pieces that keep a killed or failing run from counting twice or
// losing lines: the run's markers written in one prepared transaction, the
// document's completion as the moment they become visible, locks that are
// not taken when they cannot be recorded, and windows that never move a
// marker back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "app/business_lock.h"
#include "app/commit_actions.h"
#include "app/results_writer.h"
#include "app/run_markers.h"
#include "support/eventlog.h"
#include "support/exceptions.h"
#include "support/registry.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

const std::wstring kKey = L"SOFTWARE\\Halvex\\Test\\Markers";

std::wstring stringValue(const std::wstring& key, const std::wstring& name) {
  std::wstring v;
  registry::lookup(HKEY_LOCAL_MACHINE, key, name, v);
  return v;
}

std::vector<registry::ValueWrite> batch(const std::wstring& a, const std::wstring& b) {
  return {{kKey + L"\\One", L"Marker", {REG_SZ, registry::encodeString(a)}}, {kKey + L"\\Two", L"Marker", {REG_SZ, registry::encodeString(b)}}};
}

// A store path whose directory cannot be made: every write fails (code 5).
class UnwritableStore {
 public:
  explicit UnwritableStore(const testkit::Installation& install) : path_(install.path("not-a-directory")) {
    testkit::writeFile(path_, "");
    const char* old = std::getenv("HALVEX_REGISTRY");
    saved_ = old ? old : "";
    ::setenv("HALVEX_REGISTRY", (path_ + "/registry.db").c_str(), 1);
  }
  ~UnwritableStore() { ::setenv("HALVEX_REGISTRY", saved_.c_str(), 1); }
  std::string store() const { return path_ + "/registry.db"; }

 private:
  std::string path_;
  std::string saved_;
};

class CommitTest : public ::testing::Test {
 protected:
  testkit::Installation install;
};

TEST_F(CommitTest, APreparedWriteIsInvisibleUntilCommittedAndThenWhole) {
  registry::setString(HKEY_LOCAL_MACHINE, kKey + L"\\One", L"Marker", L"old");
  {
    registry::PreparedWrite prepared(HKEY_LOCAL_MACHINE, batch(L"new one", L"new two"));
    EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker"), L"old") << "readers see the store as it was";
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, kKey + L"\\Two"));
    EXPECT_EQ(prepared.commit(), 0u);
    EXPECT_EQ(prepared.commit(), 0u) << "a second commit does nothing";
  }
  EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker"), L"new one");
  EXPECT_EQ(stringValue(kKey + L"\\Two", L"Marker"), L"new two");

  { registry::PreparedWrite dropped(HKEY_LOCAL_MACHINE, batch(L"never", L"never")); }
  EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker"), L"new one") << "destroyed without a commit, it stores nothing";
  EXPECT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kKey, L"After", L"x"), 0u) << "and the store is free for writers again";

  EXPECT_EQ(registry::writeValues(HKEY_LOCAL_MACHINE, batch(L"3", L"4")), 0u);
  EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker") + stringValue(kKey + L"\\Two", L"Marker"), L"34");

  // A batch written in pieces is one batch: as invisible, then whole.
  {
    registry::PreparedWrite pieces(HKEY_LOCAL_MACHINE, batch(L"5", L"6"));
    pieces.add({{kKey + L"\\Three", L"Marker", {REG_SZ, registry::encodeString(L"7")}}});
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, kKey + L"\\Three"));
    EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker"), L"3");
    EXPECT_EQ(pieces.commit(), 0u);
    EXPECT_THROW(pieces.add(batch(L"8", L"9")), vexception) << "an ended batch takes nothing more";
  }
  EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker") + stringValue(kKey + L"\\Two", L"Marker") + stringValue(kKey + L"\\Three", L"Marker"),
            L"567");
}

TEST_F(CommitTest, AProcessKilledBetweenPrepareAndCommitStoresNothing) {
  registry::setString(HKEY_LOCAL_MACHINE, kKey + L"\\One", L"Marker", L"old");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    registry::PreparedWrite prepared(HKEY_LOCAL_MACHINE, batch(L"lost", L"lost"));
    (void)!::write(ready[1], "p", 1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1) << "the child prepared its write";
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker"), L"old");
  EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, kKey + L"\\Two"));
  EXPECT_EQ(registry::setString(HKEY_LOCAL_MACHINE, kKey + L"\\One", L"Marker", L"written"), 0u);
  EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker"), L"written");
}

TEST_F(CommitTest, MarkersAreWrittenTogetherBeforeTheFirstActionRuns) {
  CommitActions commit;
  std::wstring seen;
  commit.add(VLOC(L"read back", "test"), LogLevel::Error, [&] { seen = stringValue(kKey + L"\\One", L"Marker") + stringValue(kKey + L"\\Two", L"Marker"); });
  commit.addMarker(kKey + L"\\One", L"Marker", L"first");
  commit.addMarker(kKey + L"\\Two", L"Marker", L"B");
  commit.addMarker(kKey + L"\\one", L"MARKER", L"A");
  EXPECT_EQ(commit.markerCount(), 2u) << "a later marker of the same name replaces the earlier one";
  commit.prepareMarkers();
  EXPECT_TRUE(stringValue(kKey + L"\\One", L"Marker").empty()) << "prepared, not yet visible";
  EXPECT_TRUE(commit.commitMarkers());
  commit.commit();
  EXPECT_EQ(seen, L"AB");

  CommitActions dropped;
  dropped.addMarker(kKey + L"\\One", L"Marker", L"dropped");
  dropped.prepareMarkers();
  dropped.discard();
  EXPECT_EQ(stringValue(kKey + L"\\One", L"Marker"), L"A");
}

// Files handed over with the figures are written under scratch names as the
// markers are staged, journalled with them, and take their names only at
// their place among the actions: never replacing a regular file there,
// replacing a link as an entry. A discarded run removes them.
TEST_F(CommitTest, StagedFilesTakeTheirNamesWithTheFiguresOrAreRemoved) {
  namespace fs = std::filesystem;
  const std::string dir = install.path("logs");
  fs::create_directories(dir);
  testkit::writeFile(dir + "/web20261210120000000.log", "a feed still waiting\n");
  fs::create_symlink(install.path("elsewhere"), dir + "/ftp20261210120000000.log");
  const auto stager = [&](const std::string& tag) {
    return [&, tag] {
      std::vector<CommitActions::StagedFile> files;
      for (const char* name : {"web20261210120000000.log", "ftp20261210120000000.log"}) {
        const std::string scratch = "." + std::string(name) + "." + tag + ".tmp";
        testkit::writeFile(dir + "/" + scratch, tag + "\n");
        files.push_back({text::fromAnsi(dir), text::fromAnsi(scratch), text::fromAnsi(name)});
      }
      return files;
    };
  };
  bool stagedBeforeAction = false;
  {
    CommitActions commit;
    commit.addMarker(kKey + L"\\One", L"Marker", L"with files");
    commit.addInstalls(VLOC(L"files", "test"), stager("0000000a"));
    commit.add(VLOC(L"after", "test"), LogLevel::Error, [&] { stagedBeforeAction = fs::exists(dir + "/web20261210120000001.log"); });
    commit.prepareMarkers();
    EXPECT_TRUE(fs::exists(dir + "/.web20261210120000000.log.0000000a.tmp")) << "staged with the markers";
    EXPECT_NE(stringValue(std::wstring(kStatisticsKey) + L"\\PendingMarkers", std::to_wstring(::getpid())).find(L"install\t"),
              std::wstring::npos)
        << "journalled";
    EXPECT_FALSE(fs::exists(dir + "/web20261210120000001.log"));
    commit.commit();
  }
  EXPECT_TRUE(stagedBeforeAction) << "in place at its own place among the actions";
  EXPECT_EQ(testkit::readFile(dir + "/web20261210120000000.log"), "a feed still waiting\n") << "a waiting file is never replaced";
  EXPECT_EQ(testkit::readFile(dir + "/web20261210120000001.log"), "0000000a\n") << "the next number is free";
  EXPECT_FALSE(fs::is_symlink(dir + "/ftp20261210120000000.log")) << "a link is replaced as an entry";
  EXPECT_EQ(testkit::readFile(dir + "/ftp20261210120000000.log"), "0000000a\n");
  EXPECT_FALSE(fs::exists(install.path("elsewhere")));

  CommitActions dropped;
  dropped.addMarker(kKey + L"\\One", L"Marker", L"dropped");
  dropped.addInstalls(VLOC(L"files", "test"), stager("0000000b"));
  dropped.prepareMarkers();
  dropped.discard();
  EXPECT_FALSE(fs::exists(dir + "/.web20261210120000000.log.0000000b.tmp"));
  EXPECT_FALSE(fs::exists(dir + "/.ftp20261210120000000.log.0000000b.tmp"));
  EXPECT_FALSE(fs::exists(dir + "/web20261210120000002.log"));
}

TEST_F(CommitTest, AStoreThatCannotTakeTheMarkersFailsThePrepareAndIsReportedAtCommit) {
  // The event source is registered in the store: done while it can be written.
  halvex::logging::reportEvent(0, L"the event source is registered");
  UnwritableStore unwritable(install);
  CommitActions commit;
  commit.addMarker(kKey, L"Marker", L"x");
  try {
    commit.prepareMarkers();
    FAIL() << "an unwritable store was prepared";
  } catch (const vosexception& e) {
    EXPECT_EQ(e.code(), 5u);
    EXPECT_NE(e.message().find(text::fromAnsi(unwritable.store()) + L" cannot be written"), std::wstring::npos) << e.message();
  }
  bool ran = false;
  commit.add(VLOC(L"action", "test"), LogLevel::Error, [&] { ran = true; });
  commit.commit();
  const std::string events = testkit::readFile(install.eventLogPath());
  EXPECT_NE(events.find("Save the run markers"), std::string::npos) << events;
  EXPECT_TRUE(ran) << "what was delivered is still recorded as far as it can be";
}

TEST_F(CommitTest, ALockThatCannotBeRecordedIsNotTaken) {
  DomainInfo domain(L"9", L"nine.example");
  UnwritableStore unwritable(install);
  EXPECT_THROW(domain.businessLock.lock(), vosexception);
  EXPECT_FALSE(domain.businessLock.held());
  EXPECT_THROW(tryLockDomain(domain), vosexception);
  EXPECT_FALSE(tryLockDomain(domain)) << "reported once; the domain is not tried again in this run";
}

TEST_F(CommitTest, AMarkerAheadOfTheClockGivesAnEmptyWindowAndStays) {
  DomainInfo domain(L"9", L"nine.example");
  const VDateTime ahead = VDateTime::nowUtc().addSeconds(86400);
  registry::setString(HKEY_LOCAL_MACHINE, domainKey(L"9"), L"LastHttpStatisticsRun", ahead.formatMarker());
  initLogWindows(domain, true, false, L"");
  const std::string events = testkit::readFile(install.eventLogPath());
  EXPECT_NE(events.find("is behind the start of the HTTP window of domain nine.example (" + text::toUtf8(ahead.formatMarker()) + ")"),
            std::string::npos)
      << events;
  EXPECT_EQ(domain.getEndLogTime(0).formatMarker(), ahead.formatMarker());
  CommitActions commit;
  saveDomainStatus(domain, commit);
  commit.commit();
  EXPECT_EQ(stringValue(domainKey(L"9"), L"LastHttpStatisticsRun"), ahead.formatMarker());
}

TEST_F(CommitTest, TheDocumentIsCompleteOnDiskWhenItsCompletionRuns) {
  const std::string path = install.path("results.xml");
  ResultsWriter writer;
  writer.setOutputFile(text::fromAnsi(path));
  writer.beginDocument();
  writer.writeSitePages(VDateTime::parsed(L"2026/12/10", L"YMD"), 3);
  writer.sync();
  EXPECT_EQ(testkit::readFile(path).find("</data>"), std::string::npos);
  std::string seen;
  writer.endDocument([&] { seen = testkit::readFile(path); });
  EXPECT_NE(seen.find("<sitepages date=\"2026-12-10\" value=\"3\"/></data>"), std::string::npos) << seen;

  ResultsWriter full;
  full.setOutputFile(L"/dev/full");
  full.beginDocument();
  bool ran = false;
  EXPECT_THROW(full.endDocument([&] { ran = true; }), vexception);
  EXPECT_FALSE(ran) << "a document that could not be written is never complete";
}

// A run with more markers than one journal value takes stages them in
// several ("<pid>", "<pid>.1", ...). A process that died with its document
// complete has every part recorded by the next one, reported once; one
// that died before its document was complete has every part dropped.
TEST_F(CommitTest, AJournalOfManyPartsIsSettledWholeByTheNextProcess) {
  const std::wstring journal = std::wstring(kStatisticsKey) + L"\\PendingMarkers";
  const auto dieAfterStaging = [&](const std::string& document, const std::wstring& value) {
    const pid_t child = ::fork();
    if (child == 0) {
      CommitActions commit;
      for (int i = 0; i < 1100; ++i) commit.addMarker(kKey + L"\\D" + std::to_wstring(i), L"LastHttpStatisticsRun", value + std::to_wstring(i));
      commit.prepareMarkers(text::fromAnsi(document));
      ::_exit(registry::valueNames(HKEY_LOCAL_MACHINE, journal).size() == 3 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? static_cast<int>(child) : -1;
  };
  const std::string complete = install.path("complete.xml"), incomplete = install.path("incomplete.xml");
  testkit::writeFile(complete, "<?xml version=\"1.0\"?>\n<data><sitepages date=\"2026-12-10\" value=\"1\"/></data>\n");
  testkit::writeFile(incomplete, "<?xml version=\"1.0\"?>\n<data><sitepages date=\"2026-12-10\" value=\"1\"/>");

  const int died = dieAfterStaging(complete, L"2026/12/10 12:00:");
  ASSERT_GT(died, 0) << "the child staged its markers in three parts";
  EXPECT_TRUE(stringValue(kKey + L"\\D0", L"LastHttpStatisticsRun").empty());
  testkit::LogCapture warnings({LogLevel::Warning});
  recoverInterruptedCommits();
  for (int i : {0, 511, 512, 1023, 1024, 1099})
    EXPECT_EQ(stringValue(kKey + L"\\D" + std::to_wstring(i), L"LastHttpStatisticsRun"), L"2026/12/10 12:00:" + std::to_wstring(i)) << i;
  EXPECT_TRUE(registry::valueNames(HKEY_LOCAL_MACHINE, journal).empty());
  EXPECT_EQ(warnings.count("Process " + std::to_string(died) + " ended after its results document"), 1u) << warnings.text();

  ASSERT_GT(dieAfterStaging(incomplete, L"later "), 0);
  recoverInterruptedCommits();
  for (int i : {0, 600, 1099})
    EXPECT_EQ(stringValue(kKey + L"\\D" + std::to_wstring(i), L"LastHttpStatisticsRun"), L"2026/12/10 12:00:" + std::to_wstring(i)) << i;
  EXPECT_TRUE(registry::valueNames(HKEY_LOCAL_MACHINE, journal).empty());
  EXPECT_EQ(warnings.count("its run markers are dropped"), 1u) << warnings.text();

  // A run that records its markers leaves no part behind.
  {
    CommitActions commit;
    for (int i = 0; i < 1100; ++i) commit.addMarker(kKey + L"\\D" + std::to_wstring(i), L"LastHttpStatisticsRun", L"own " + std::to_wstring(i));
    commit.prepareMarkers(text::fromAnsi(complete));
    EXPECT_EQ(registry::valueNames(HKEY_LOCAL_MACHINE, journal).size(), 3u);
    EXPECT_TRUE(commit.commitMarkers());
    commit.commit();
  }
  EXPECT_TRUE(registry::valueNames(HKEY_LOCAL_MACHINE, journal).empty());
  EXPECT_EQ(stringValue(kKey + L"\\D1099", L"LastHttpStatisticsRun"), L"own 1099");
}

}  // namespace
