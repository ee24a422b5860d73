#include "app/business_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/run_markers.h"
#include "config/domain.h"
#include "support/registry.h"
#include "support/vaformat.h"
#include "tests/testkit.h"

extern char** environ;

namespace {

using BusinessLock::LockException;
using BusinessLock::RegistryLock;
using BusinessLock::RegistryOfflineLockStatus;
using BusinessLock::SyncronizationException;

// A real process that lives until killed.
struct LiveProcess {
  pid_t pid = 0;
  LiveProcess() {
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("300"), nullptr};
    posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ);
  }
  ~LiveProcess() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

// The id of a process that has ended and been reaped.
pid_t deadPid() {
  pid_t pid = 0;
  char* argv[] = {const_cast<char*>("true"), nullptr};
  posix_spawnp(&pid, "true", nullptr, nullptr, argv, environ);
  waitpid(pid, nullptr, 0);
  return pid;
}

uint32_t stored(const std::wstring& key, const std::wstring& value) {
  uint32_t v = 0xFFFFFFFF;
  registry::lookup(HKEY_LOCAL_MACHINE, key, value, v, RegView32);
  return v;
}

class BusinessLockTest : public ::testing::Test {
 protected:
  testkit::Installation install;
  const std::wstring key = domainKey(L"7");
};

}  // namespace

TEST_F(BusinessLockTest, TakesFreeAndStaleLocksAndRefusesLiveOnes) {
  {
    RegistryLock lock(RegistryOfflineLockStatus(key, L"OfflineLockStatus"));
    lock.lock();
    EXPECT_TRUE(lock.held());
    EXPECT_EQ(stored(key, L"OfflineLockStatus"), static_cast<uint32_t>(getpid()));
    lock.lock();  // a second lock of a held object is a no-op
    lock.unlock();
    EXPECT_EQ(stored(key, L"OfflineLockStatus"), 0u);
  }
  {
    LiveProcess other;
    registry::setDword(HKEY_LOCAL_MACHINE, key, L"OfflineLockStatus", static_cast<uint32_t>(other.pid), RegView32);
    RegistryLock lock(RegistryOfflineLockStatus(key, L"OfflineLockStatus"));
    try {
      lock.lock();
      FAIL() << "a live owner's lock was taken";
    } catch (const LockException& e) {
      EXPECT_EQ(e.message(), L"Object has been already locked");
    }
    EXPECT_FALSE(lock.held());
    EXPECT_EQ(stored(key, L"OfflineLockStatus"), static_cast<uint32_t>(other.pid));
  }
  {
    registry::setDword(HKEY_LOCAL_MACHINE, key, L"OfflineLockStatus", static_cast<uint32_t>(deadPid()), RegView32);
    RegistryLock lock(RegistryOfflineLockStatus(key, L"OfflineLockStatus"));
    lock.lock();
    EXPECT_TRUE(lock.held()) << "a dead owner's lock is taken over";
  }
  // The destructor released it.
  EXPECT_EQ(stored(key, L"OfflineLockStatus"), 0u);
}

TEST_F(BusinessLockTest, DisagreementsAreSynchronisationErrors) {
  registry::setDword(HKEY_LOCAL_MACHINE, key, L"MailBoxUsageStatus", static_cast<uint32_t>(getpid()), RegView32);
  RegistryLock lock(RegistryOfflineLockStatus(key, L"MailBoxUsageStatus"));
  try {
    lock.lock();
    FAIL();
  } catch (const SyncronizationException& e) {
    EXPECT_EQ(e.message(), L"Concurrency syncronization error");
    EXPECT_EQ(e.trace().front().function,
              "BusinessLock::PessimisticOfflinelLock<unsigned long,class BusinessLock::RegistryOfflineLockStatus>::lock");
  }
  RegistryLock other(RegistryOfflineLockStatus(key, L"DiskUsageStatus"));
  try {
    other.unlock();
    FAIL();
  } catch (const SyncronizationException& e) {
    EXPECT_EQ(e.message(), L"Object has not been locked");
  }
  // A lock value of the wrong type is a registry error, not "free".
  registry::setString(HKEY_LOCAL_MACHINE, key, L"DiskUsageStatus", L"12");
  EXPECT_THROW(other.lock(), vexception);
}

TEST_F(BusinessLockTest, MaximizeConcurrencyDecidesWhetherABusyDomainIsTriedAgain) {
  LiveProcess other;
  DomainInfo domain(L"7", L"seven.example");
  registry::setDword(HKEY_LOCAL_MACHINE, key, L"OfflineLockStatus", static_cast<uint32_t>(other.pid), RegView32);

  readMaximizeConcurrency();  // missing value: give up after the first try
  EXPECT_FALSE(tryLockDomain(domain));
  EXPECT_FALSE(domain.lockAllowed);
  registry::setDword(HKEY_LOCAL_MACHINE, key, L"OfflineLockStatus", 0, RegView32);
  EXPECT_FALSE(tryLockDomain(domain)) << "not tried again in this run";

  DomainInfo again(L"7", L"seven.example");
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"StatisticsMaximizeConcurrency", 1);
  readMaximizeConcurrency();
  registry::setDword(HKEY_LOCAL_MACHINE, key, L"OfflineLockStatus", static_cast<uint32_t>(other.pid), RegView32);
  EXPECT_FALSE(tryLockDomain(again));
  EXPECT_TRUE(again.lockAllowed);
  registry::setDword(HKEY_LOCAL_MACHINE, key, L"OfflineLockStatus", 0, RegView32);
  EXPECT_TRUE(tryLockDomain(again)) << "tried again at the next attempt";
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"StatisticsMaximizeConcurrency", 0);
  readMaximizeConcurrency();
}

TEST_F(BusinessLockTest, WindowsStartAtTheMarkerAndMarkersMoveOnlyForLoadedWindows) {
  DomainInfo domain(L"7", L"seven.example");
  EXPECT_THROW(domain.getStartLogTime(0), vexception);
  registry::setString(HKEY_LOCAL_MACHINE, key, L"LastHttpStatisticsRun", L"2016/03/01 10:20:30");
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"LastStatisticsRun", L"15/01/01 00:00:00");
  initLogWindows(domain, true, true, L"");
  EXPECT_EQ(domain.getStartLogTime(0).formatMarker(), L"2016/03/01 10:20:30");
  EXPECT_EQ(domain.getStartLogTime(2).formatMarker(), L"2015/01/01 00:00:00") << "no FTP marker: the global fallback";
  EXPECT_EQ(domain.getEndLogTime(1).millisecond, 0);
  EXPECT_THROW(domain.getStartLogTime(3), vexception);

  // --from-date wins over every marker, and a loaded window stays as it is.
  DomainInfo forced(L"8", L"eight.example");
  initLogWindows(forced, true, false, L"2007/04/06 18:02:32");
  initLogWindows(forced, true, false, L"");
  EXPECT_EQ(forced.getStartLogTime(0).formatMarker(), L"2007/04/06 18:02:32");

  registry::deleteValue(HKEY_LOCAL_MACHINE, kConfigKey, L"LastStatisticsRun");
  DomainInfo fresh(L"9", L"nine.example");
  initLogWindows(fresh, false, true, L"");
  EXPECT_EQ(fresh.getStartLogTime(2), VDateTime{}) << "no marker at all: the zero date-time";

  saveDomainStatus(forced);
  std::wstring http, ftp;
  EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, domainKey(L"8"), L"LastHttpStatisticsRun", http), 0u);
  EXPECT_EQ(http, forced.getEndLogTime(0).formatMarker());
  EXPECT_NE(registry::lookup(HKEY_LOCAL_MACHINE, domainKey(L"8"), L"LastFtpStatisticsRun", ftp), 0u) << "the FTP window was never loaded";
}

TEST_F(BusinessLockTest, ExpirationCutoffDefaultsToThreeDays) {
  const VDateTime now = VDateTime::nowUtc();
  const VDateTime cutoff = readLogExpirationCutoff();
  const int64_t seconds = (now.toFileTime() - cutoff.toFileTime()) / 10000000;
  EXPECT_GE(seconds, 259200 - 2);
  EXPECT_LE(seconds, 259200 + 2);
  EXPECT_EQ(cutoff.millisecond, 0);
  registry::setDword(HKEY_LOCAL_MACHINE, kConfigKey, L"StatisticsLogExpirationTime", 60);
  const int64_t short_ = (VDateTime::nowUtc().toFileTime() - readLogExpirationCutoff().toFileTime()) / 10000000;
  EXPECT_LE(short_, 62);
}

// Taking many domains at once must answer, domain by domain, what taking
// them one by one answers, and the windows must start where the markers say.
TEST_F(BusinessLockTest, DomainsLockedTogetherAnswerAsOneByOne) {
  LiveProcess other;
  readMaximizeConcurrency();  // missing value: a busy domain is given up
  DomainInfo freeOne(L"21", L"free.example"), stale(L"22", L"stale.example"), busy(L"23", L"busy.example"), odd(L"24", L"odd.example"),
      mine(L"25", L"mine.example");
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"22"), L"OfflineLockStatus", static_cast<uint32_t>(deadPid()), RegView32);
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"23"), L"OfflineLockStatus", static_cast<uint32_t>(other.pid), RegView32);
  registry::setString(HKEY_LOCAL_MACHINE, domainKey(L"24"), L"OfflineLockStatus", L"12");
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"25"), L"OfflineLockStatus", static_cast<uint32_t>(getpid()), RegView32);
  registry::setString(HKEY_LOCAL_MACHINE, domainKey(L"21"), L"LastHttpStatisticsRun", L"2016/03/01 10:20:30");
  registry::setString(HKEY_LOCAL_MACHINE, kConfigKey, L"LastStatisticsRun", L"15/01/01 00:00:00");
  static int staleHookCalls;
  staleHookCalls = 0;
  BusinessLock::onStaleOwner([] { ++staleHookCalls; });

  lockDomains({&freeOne, &stale, &busy, &odd, &mine});
  BusinessLock::onStaleOwner(nullptr);
  EXPECT_TRUE(freeOne.businessLock.held());
  EXPECT_TRUE(stale.businessLock.held()) << "a dead owner's lock is taken over";
  EXPECT_EQ(staleHookCalls, 1) << "what the dead owner left is settled first";
  EXPECT_FALSE(busy.businessLock.held());
  EXPECT_FALSE(busy.lockAllowed) << "busy: not tried again in this run";
  EXPECT_FALSE(odd.businessLock.held());
  EXPECT_FALSE(mine.businessLock.held());
  EXPECT_EQ(stored(domainKey(L"21"), L"OfflineLockStatus"), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(stored(domainKey(L"22"), L"OfflineLockStatus"), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(stored(domainKey(L"23"), L"OfflineLockStatus"), static_cast<uint32_t>(other.pid)) << "a live owner's lock is left alone";
  // The undecided ones give, alone, the errors they give alone.
  EXPECT_FALSE(tryLockDomain(busy));
  EXPECT_THROW(tryLockDomain(odd), vexception);
  EXPECT_THROW(tryLockDomain(mine), SyncronizationException);

  // The markers read with the locks are the stored ones; one changed after
  // the locks were released is read afresh by the next run.
  initLogWindows(freeOne, true, true, L"");
  initLogWindows(stale, true, false, L"");
  EXPECT_EQ(freeOne.getStartLogTime(0).formatMarker(), L"2016/03/01 10:20:30");
  EXPECT_EQ(freeOne.getStartLogTime(2).formatMarker(), L"2015/01/01 00:00:00") << "no FTP marker: the global fallback";
  EXPECT_EQ(stale.getStartLogTime(0).formatMarker(), L"2015/01/01 00:00:00");

  unlockDomains({&freeOne, &stale, &busy, &odd, &mine});
  EXPECT_FALSE(freeOne.businessLock.held());
  EXPECT_FALSE(stale.businessLock.held());
  EXPECT_EQ(stored(domainKey(L"21"), L"OfflineLockStatus"), 0u);
  EXPECT_EQ(stored(domainKey(L"22"), L"OfflineLockStatus"), 0u);
  EXPECT_EQ(stored(domainKey(L"23"), L"OfflineLockStatus"), static_cast<uint32_t>(other.pid));

  registry::setString(HKEY_LOCAL_MACHINE, domainKey(L"22"), L"LastFtpStatisticsRun", L"2017/05/06 07:08:09");
  DomainInfo next(L"22", L"stale.example");
  lockDomains({&next});
  initLogWindows(next, false, true, L"");
  EXPECT_EQ(next.getStartLogTime(2).formatMarker(), L"2017/05/06 07:08:09");
  unlockDomains({&next});

  // A host's domains go through the store a few hundred at a time: across
  // the batches every domain gets its own marker, a live owner's domain
  // (in the second batch) is left, a dead owner's (in the third) taken over.
  std::vector<std::unique_ptr<DomainInfo>> host;
  std::vector<DomainInfo*> all;
  std::vector<registry::ValueWrite> markers;
  for (int i = 0; i < 600; ++i) {
    host.push_back(std::make_unique<DomainInfo>(L"h" + std::to_wstring(i), L"host" + std::to_wstring(i) + L".example"));
    all.push_back(host.back().get());
    markers.push_back({domainKey(host.back()->id), L"LastHttpStatisticsRun",
                       registry::RawValue{REG_SZ, registry::encodeString(vaformat(L"2016/03/01 10:%02d:%02d", i / 60, i % 60))}});
  }
  ASSERT_EQ(registry::writeValues(HKEY_LOCAL_MACHINE, markers), 0u);
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"h300"), L"OfflineLockStatus", static_cast<uint32_t>(other.pid), RegView32);
  registry::setDword(HKEY_LOCAL_MACHINE, domainKey(L"h520"), L"OfflineLockStatus", static_cast<uint32_t>(deadPid()), RegView32);
  staleHookCalls = 0;
  BusinessLock::onStaleOwner([] { ++staleHookCalls; });
  lockDomains(all);
  BusinessLock::onStaleOwner(nullptr);
  EXPECT_EQ(staleHookCalls, 1);
  for (int i = 0; i < 600; ++i) {
    DomainInfo& d = *host[i];
    if (i == 300) {
      EXPECT_FALSE(d.businessLock.held());
      continue;
    }
    ASSERT_TRUE(d.businessLock.held()) << i;
    initLogWindows(d, true, false, L"");
    EXPECT_EQ(d.getStartLogTime(0).formatMarker(), vaformat(L"2016/03/01 10:%02d:%02d", i / 60, i % 60)) << i;
  }
  unlockDomains(all);
  for (int i : {0, 299, 301, 520, 599}) EXPECT_EQ(stored(domainKey(host[i]->id), L"OfflineLockStatus"), 0u) << i;
  EXPECT_EQ(stored(domainKey(L"h300"), L"OfflineLockStatus"), static_cast<uint32_t>(other.pid));
}

// A step's locks in chunks: each domain's lock is held while its work runs,
// a live owner's domain is skipped, a dead owner's taken over, an odd value
// fails that domain alone, and nothing stays held after the step.
TEST_F(BusinessLockTest, ChunkedDomainLocksHoldEachDomainForItsWork) {
  LiveProcess other;
  const size_t count = BusinessLock::DomainLockChunks::kChunk * 2 + 5;
  std::vector<std::wstring> ids, keys;
  for (size_t i = 0; i < count; ++i) {
    ids.push_back(L"c" + std::to_wstring(i));
    keys.push_back(domainKey(ids.back()));
  }
  const size_t busy = BusinessLock::DomainLockChunks::kChunk + 3, stale = 2, odd = count - 1;
  registry::setDword(HKEY_LOCAL_MACHINE, keys[busy], L"DiskUsageStatus", static_cast<uint32_t>(other.pid), RegView32);
  registry::setDword(HKEY_LOCAL_MACHINE, keys[stale], L"DiskUsageStatus", static_cast<uint32_t>(deadPid()), RegView32);
  registry::setString(HKEY_LOCAL_MACHINE, keys[odd], L"DiskUsageStatus", L"12");
  {
    BusinessLock::DomainLockChunks locks(ids, L"DiskUsageStatus");
    for (size_t i = 0; i < count; ++i) {
      if (i == odd) {
        EXPECT_THROW(locks.acquire(i), vexception) << "the odd value fails its domain alone";
        continue;
      }
      const bool held = locks.acquire(i);
      EXPECT_EQ(held, i != busy) << i;
      EXPECT_EQ(stored(keys[i], L"DiskUsageStatus"), i == busy ? static_cast<uint32_t>(other.pid) : static_cast<uint32_t>(getpid())) << i;
      // The chunk before is released once the next one begins.
      const size_t before = i - BusinessLock::DomainLockChunks::kChunk;
      if (i >= BusinessLock::DomainLockChunks::kChunk && before != busy) {
        EXPECT_EQ(stored(keys[before], L"DiskUsageStatus"), 0u) << before;
      }
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (i == odd) continue;
    EXPECT_EQ(stored(keys[i], L"DiskUsageStatus"), i == busy ? static_cast<uint32_t>(other.pid) : 0u) << i;
  }
}
