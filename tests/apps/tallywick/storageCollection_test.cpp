#include "apps/tallywick/storageCollection.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "apps/tallywick/persistedStatMetadata.h"
#include "kestrix/time.h"
#include "tests/apps/tallywick/collectionFakes.h"

namespace Tallywick {
namespace {

using Stats::NoKey;
using Stats::StatValue;
using Testing::CollectionTest;
using Testing::Database;
using Testing::Names;
using Testing::Rows;

constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kPeriod = 5 * kSecond;

PersistedStatRef Series(const std::string& name, const std::string& label, CollectedStatId id) {
  return Kestrix::MakeRef<PersistedStat>(name, label, ValueKindInteger, "m;", id);
}
PersistedStatRef Template(const std::string& name, const std::string& label, const std::string& metadata = "t;") {
  return Kestrix::MakeRef<PersistedStat>(name, label, ValueKindReal, metadata, NoKey);
}

class StorageCollectionTest : public CollectionTest {
protected:
  StorageCollectionRef Make(const RequestedStats& requested, PersistedStatList drainList) {
    if (!engine_) engine_ = OpenEngine();
    return Kestrix::MakeRef<StorageCollection>(engine_, kPeriod, requested, std::move(drainList), InstanceNames{},
                                               Context());
  }
  SqliteStorageEngineRef engine_;
};

TEST_F(StorageCollectionTest, MatchesLabelsAndGivesTemplatesOneSeriesPerInstance) {
  registry_->Add(5, "cpu.count");
  registry_->Add(9, "net.tx.activity", {Testing::NicAttribute()});
  registry_->Add(11, "other.stat");
  registry_->Add(12, "storage.used", {Testing::PathAttribute(".filesystem")});
  auto count = Series("cpu.count", "cpu.count.host", 40);
  auto missing = Series("missing", "missing.stat.host", 41);
  auto tx = Template("net.tx.activity", "net.tx.activity.pNIC", CategoryMetadata("network", "kb_per_sec"));
  auto used = Template("storage.used.filesystem", "storage.used.D.filesystem");
  auto collection = Make({{"cpu.count.host", count}, {"missing.stat.host", missing},
                          {"net.tx.activity.pNIC", tx}, {"storage.used.D.filesystem", used}},
                         {count, missing});
  ASSERT_EQ(query_->requests.size(), 1u);
  std::vector<std::string> requested;
  for (const auto& i : query_->requests[0]) requested.push_back(Stats::InstanceToString(*i));
  EXPECT_EQ(requested, (Rows{"5()", "9('*')", "12('*')"}));
  EXPECT_FALSE(missing->GetStatInfo());
  EXPECT_EQ(log_.Count("error Could not locate StatInfo found for missing.stat.host"), 1u);

  EXPECT_EQ(Allocate(9, {"eth0"}), 0u);
  EXPECT_EQ(Allocate(9, {"lo"}), 1u);
  EXPECT_EQ(Allocate(5, {}), 40u) << "a series with its own id keeps it";
  // An instance that missed a pass expires and is created again: same series, no new id.
  EXPECT_EQ(Allocate(9, {"eth0"}), 0u);
  EXPECT_EQ(Allocate(77, {"eth0"}), NoKey) << "not requested";
  // Interface names are bytes; what is stored is UTF-8 text.
  EXPECT_EQ(Allocate(9, {"v\xff\xc3\xa9\xc3"}), 2u);
  EXPECT_EQ(ids_.Next(), 3u);
  EXPECT_EQ(Names(collection->GetDrainList()), (Rows{"cpu.count", "missing", "net.tx.activity.eth0",
                                                    "net.tx.activity.lo", "net.tx.activity.v%FF\xc3\xa9%C3"}));
  EXPECT_NE(collection->GetDrainList()[4]->GetMetadata().find(";instance=v%FF\xc3\xa9%C3;"), std::string::npos);
  const auto& eth0 = collection->GetDrainList()[2];
  EXPECT_EQ(eth0->GetMetadata(),
            "category=com.norvex.fenmark.mon.cat.network;units=com.norvex.fenmark.mon.unit.kb_per_sec;instance=eth0;"
            "name=com.norvex.fenmark.mon.name.net.tx.activity.eth0;description=com.norvex.fenmark.mon.descr.net.tx."
            "activity.eth0;");
  EXPECT_EQ(eth0->GetValueKind(), ValueKindReal);
}

// The exporter is given what the last pass wrote: not a gone interface's
// last value, nor cpu.util's parts.
TEST_F(StorageCollectionTest, SnapshotHoldsTheSeriesTheLastPassWrote) {
  registry_->Add(9, "net.tx.activity", {Testing::NicAttribute()});
  registry_->Add(5, "cpu.count");
  auto tx = Template("net.tx.activity", "net.tx.activity.pNIC", CategoryMetadata("network", "kb_per_sec"));
  auto count = Series("cpu.count", "cpu.count.host", 40);
  auto util = Kestrix::MakeRef<RationalPersistedStat>("cpu.util", ValueKindReal, "u;", 41);
  util->AddNumerator(count);
  util->AddDenominator(count);
  auto collection = Make({{"net.tx.activity.pNIC", tx}, {"cpu.count.host", count}}, {util});
  query_->onExecute = [&](int pass) {
    if (pass == 1) {
      ASSERT_EQ(Allocate(9, {"eth0"}), 0u);
      ASSERT_EQ(Allocate(9, {"eth1"}), 1u);
      ASSERT_EQ(Allocate(5, {}), 40u);
      Emit(1, 1 * kSecond, StatValue(3));
    }
    Emit(0, pass * kSecond, StatValue(pass));
    Emit(40, pass * kSecond, StatValue(2));
  };
  std::vector<std::string> seen;
  collection->RunQueryLoop([&](uint64_t) {
    std::string text;
    for (const MetricSample& m : collection->Snapshot())
      text += m.family + "[" + m.instance + "]=" + std::to_string(m.value) + " ";
    seen.push_back(text);
    return seen.size() == 2;
  });
  EXPECT_EQ(seen, (Rows{"cpu.util[]=1.000000 net.tx.activity[eth0]=1.000000 net.tx.activity[eth1]=3.000000 ",
                        "cpu.util[]=1.000000 net.tx.activity[eth0]=2.000000 "}));
}

// A per-instance series whose instance has gone is released once its last
// sample is committed (a sample a failed pass left is stored first); its rows
// stay, and an instance that comes back stores into the same table again.
TEST_F(StorageCollectionTest, GoneInstancesReleaseTheirSeriesAfterAFewPassesOnceTheirLastSampleIsStored) {
  registry_->Add(9, "net.tx.activity", {Testing::NicAttribute()});
  registry_->Add(5, "cpu.count");
  auto tx = Template("net.tx.activity", "net.tx.activity.pNIC");
  auto count = Series("cpu.count", "cpu.count.host", 40);
  auto collection = Make({{"net.tx.activity.pNIC", tx}, {"cpu.count.host", count}}, {count});
  Database check(db_);
  uint64_t eth1 = NoKey;
  std::vector<uint64_t> eth1Keys;
  query_->onExecute = [&](int pass) {
    if (pass == 1) {
      ASSERT_EQ(Allocate(9, {"eth0"}), 0u);
      ASSERT_EQ(Allocate(5, {}), 40u);
    }
    if (pass == 1 || pass == 3 || pass == 11) eth1Keys.push_back(eth1 = Allocate(9, {"eth1"}));
    Emit(0, pass * kSecond, StatValue(pass));
    Emit(40, pass * kSecond, StatValue(2));
    if (pass == 1 || pass == 3 || pass == 11) Emit(eth1, pass * kSecond, StatValue(10 * pass));
    if (pass == 2) {
      query_->allocator->Free(eth1);  // gone for one pass only
      query_->allocator->Free(40);    // a series stored from the start is never released
    }
    if (pass == 3) {
      // Back, then gone again, with its sample of second 3 held up until pass 9.
      ASSERT_EQ(check.Exec("CREATE TRIGGER boom BEFORE INSERT ON sm_stat_net_tx_activity_eth1 "
                           "BEGIN SELECT RAISE(ROLLBACK, 'x'); END;"),
                SQLITE_OK);
      query_->allocator->Free(eth1);
    }
    if (pass == 9) {
      ASSERT_EQ(check.Exec("DROP TRIGGER boom;"), SQLITE_OK);
    }
  };
  std::string listed;  // per pass: whether eth1's series was in the drain list after it
  collection->RunQueryLoop([&](uint64_t) {
    const auto names = Names(collection->GetDrainList());
    listed += std::count(names.begin(), names.end(), "net.tx.activity.eth1") ? 'y' : '-';
    return listed.size() == 11;
  });
  // Released at the drain of pass 10: five drains after it was gone again,
  // and one after its held-up sample was stored.
  EXPECT_EQ(listed, "yyyyyyyyy-y");
  EXPECT_EQ(eth1Keys, (std::vector<uint64_t>{1, 1, 2})) << "back within its wait, it kept its series; later, a new one";
  EXPECT_EQ(log_.Count("info Released CollectedStatId 1 of net.tx.activity.eth1: its instance is gone"), 1u);
  EXPECT_EQ(check.Rows("SELECT group_concat(sm_timestamp || '=' || sm_stat_value) FROM "
                       "(SELECT * FROM sm_stat_net_tx_activity_eth1 ORDER BY 1);"),
            Rows{"1=10.0,3=30.0,11=110.0"});
  // The rolled-back passes 3 to 8 took cpu.count's samples along.
  EXPECT_EQ(check.Rows("SELECT group_concat(sm_timestamp) FROM (SELECT * FROM sm_stat_cpu_count ORDER BY 1);"),
            Rows{"1,2,9,10,11"});
}

// Each pass drains the latest valid samples in one commit; a failed pass is
// logged and the next period tries again. Passes start a period apart
// however long each takes.
TEST_F(StorageCollectionTest, LoopDrainsEachPassInOneCommitAndGoesOnAfterAFailedPass) {
  Kestrix::System::TestClock testClock(1, 100 * kSecond + StorageCollection::kPassPhaseMicros);
  Kestrix::System::ScopedTestClock installed(testClock);
  std::vector<uint64_t> starts;
  registry_->Add(5, "mem.physical");
  registry_->Add(6, "mem.physical.used");
  auto total = Series("mem.total", "mem.physical.host", 7);
  auto used = Series("mem.util", "mem.physical.used.host", 8);
  auto collection = Make({{"mem.physical.host", total}, {"mem.physical.used.host", used}}, {total, used});
  query_->onExecute = [&](int pass) {
    starts.push_back(testClock.UtcMicros());
    testClock.Advance(30000 * static_cast<uint64_t>(pass));  // the pass's own duration
    if (pass == 1) throw Kestrix::InvalidStateException("provider broke");
    if (pass == 2) {
      ASSERT_EQ(Allocate(5, {}), 7u);
      ASSERT_EQ(Allocate(6, {}), 8u);
      Emit(7, 2 * kSecond, StatValue(2));  // mem.util has no value yet: skipped without a word
      return;
    }
    Emit(7, 3 * kSecond, StatValue(3));
    Emit(7, 4 * kSecond, Stats::InvalidValue);  // the previous sample stays
    query_->writer->Write(7, 5 * kSecond, nullptr, nullptr);
    Emit(9, 3 * kSecond, StatValue(99));  // not a key of this collection
    Emit(8, 3 * kSecond, StatValue(50));
  };
  const uint64_t commits = engine_->GetCommitCount();
  std::vector<uint64_t> waits;
  EXPECT_TRUE(collection->RunQueryLoop([&](uint64_t timeout) {
    waits.push_back(timeout);
    testClock.Advance(timeout);
    return waits.size() == 3;
  }));
  EXPECT_EQ(query_->executions, 3);
  EXPECT_EQ(waits, (std::vector<uint64_t>{kPeriod - 30000, kPeriod - 60000, kPeriod - 90000}));
  EXPECT_EQ(starts, (std::vector<uint64_t>{100500000, 105500000, 110500000}));
  EXPECT_EQ(engine_->GetCommitCount() - commits, 2u);
  EXPECT_EQ(log_.Lines("error "), Rows{"error Sampling pass failed: provider broke"});
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_total ORDER BY 1;"), (Rows{"2|2", "3|3"}));
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_util;"), Rows{"3|50"});
}

// The wait after a pass, in ms, for start and now in ms of wall-clock time.
TEST(StorageCollectionScheduleTest, PassesFallOnTheirPeriodsGridHalfASecondPastEachMultiple) {
  struct Case {
    uint64_t periodS, startMs, nowMs, waitMs;
  };
  const Case cases[] = {
      {1, 10500, 10500, 1000},    // on the grid
      {1, 10500, 10520, 980},     // a 20 ms pass
      {1, 10900, 10900, 600},     // a first pass late in its second: half a period at least
      {1, 10100, 10100, 1400},    // and early in it: the grid point after next
      {1, 10500, 11700, 800},     // a pass longer than the period: the next grid point after it
      {1, 1000500, 10200, 1300},  // wall clock stepped back during the pass
      {1, 10500, 5000900, 600},   // and forward
      {60, 43210000, 43210000, 50500},
      {60, 43240000, 43240000, 80500},
      {600, 43210000, 43210500, 590000},
      {5, 2, 2, 5498},            // the first seconds of the epoch
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StorageCollection::WaitForNextPass(c.periodS * kSecond, c.startMs * 1000, c.nowMs * 1000),
              c.waitMs * 1000)
        << "period " << c.periodS << " s, start " << c.startMs << " ms, now " << c.nowMs << " ms";
  }
  // Collections of 1, 60 and 600 s started apart keep their passes on one grid:
  // every pass of the longer periods falls on a pass of the shorter ones.
  for (uint64_t period : {1, 60, 600}) {
    uint64_t t = 43210123000 + period * 7777;  // µs
    for (int pass = 0; pass < 5; ++pass) {
      t += 1234 + StorageCollection::WaitForNextPass(period * kSecond, t, t + 1234);
      EXPECT_EQ(t % (period * kSecond), StorageCollection::kPassPhaseMicros) << period;
    }
  }
}

// Four series with their own ids, fed directly (no registry needed to drain),
// drained in the order a, d, b, c.
class DrainFailureTest : public StorageCollectionTest {
protected:
  void SetUp() override {
    for (const char* name : {"a", "d", "b", "c"}) stats_.push_back(Series(name, std::string(name) + ".host", id_++));
    collection_ = Make({}, stats_);
  }
  void Sample(uint64_t second, bool withD = true) {
    for (auto& s : stats_) {
      if (s->GetName() != "d" || withD) s->SetSample(second * kSecond, StatValue(static_cast<int64_t>(second)));
    }
  }
  // Reopen builds the collection again on engine.
  void Reopen(SqliteStorageEngineRef engine) {
    collection_.Reset();
    engine_ = std::move(engine);
    collection_ = Make({}, stats_);
  }
  // Stored lists the seconds stored per series, as "a=1,2 b=1 c=1 d=-" ("-": no table).
  std::string Stored() const {
    Database check(db_);
    std::string out;
    for (const std::string name : {"a", "b", "c", "d"}) {
      const std::string table = "sm_stat_" + name;
      const bool exists = check.Exec("SELECT 1 FROM " + table + ";") == SQLITE_OK;
      const std::string sql = "SELECT group_concat(t) FROM (SELECT sm_timestamp t FROM " + table + " ORDER BY 1);";
      out += (out.empty() ? "" : " ") + name + "=" + (exists ? check.Rows(sql)[0] : "-");
    }
    return out;
  }

  CollectedStatId id_ = 0;
  PersistedStatList stats_;
  StorageCollectionRef collection_;
};

// A fault another connection puts into the database after the first pass.
struct DrainFault {
  const char* name;
  const char* fault;
  const char* repair;
  std::vector<std::string> errors;  // logged by the failing pass
  const char* afterFault;           // Stored() after the failing pass (2)
  const char* afterRepair;          // Stored() after the next pass (3)
};

void PrintTo(const DrainFault& f, std::ostream* os) { *os << f.name; }

class DrainFaultTest : public DrainFailureTest, public ::testing::WithParamInterface<DrainFault> {};

// d is new in the failing pass: its table is created inside that pass's transaction.
TEST_P(DrainFaultTest, FailedPassLosesOnlyWhatItMustAndTheNextPassStoresAll) {
  const DrainFault& f = GetParam();
  Sample(1, false);
  ASSERT_TRUE(collection_->Drain());
  ASSERT_EQ(Database(db_).Exec(f.fault), SQLITE_OK) << f.fault;
  engine_->ExecuteSql("PRAGMA foreign_keys = ON;");  // a connection's setting
  Sample(2);
  EXPECT_FALSE(collection_->Drain());
  EXPECT_EQ(log_.Lines("error "), f.errors);
  EXPECT_EQ(Stored(), f.afterFault);
  ASSERT_EQ(Database(db_).Exec(f.repair), SQLITE_OK) << f.repair;
  Sample(3);
  EXPECT_TRUE(collection_->Drain());
  EXPECT_EQ(log_.Lines("error "), f.errors) << "a failed step is not echoed by the next reset";
  EXPECT_EQ(Stored(), f.afterRepair);
  EXPECT_EQ(Database(db_).Rows("SELECT count(*) FROM sm_stats_metadata;"), Rows{"4"});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DrainFaultTest,
    ::testing::Values(
        // The database rolls the whole pass back: the pass stops, c is not stored one by one.
        DrainFault{"RollbackRaised",
                   "CREATE TRIGGER boom BEFORE INSERT ON sm_stat_b BEGIN SELECT RAISE(ROLLBACK, 'forced'); END;",
                   "DROP TRIGGER boom;",
                   {"error Failed to execute prepared statement", "error Unable to drain stat b: forced",
                    "error Drain stopped: the database rolled back the pass at b"},
                   "a=1 b=1 c=1 d=-",
                   "a=1,3 b=1,3 c=1,3 d=3"},
        // A deferred foreign-key violation lets every statement pass and fails the COMMIT.
        DrainFault{"CommitFails",
                   "CREATE TABLE parent (id INTEGER PRIMARY KEY);"
                   "CREATE TABLE child (p INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED);"
                   "CREATE TRIGGER orphan AFTER INSERT ON sm_stat_c BEGIN INSERT INTO child VALUES (99); END;",
                   "DROP TRIGGER orphan;",
                   {"error Failed to execute SQL COMMIT;",
                    "error Unable to drain stats: FOREIGN KEY constraint failed"},
                   "a=1 b=1 c=1 d=-",
                   "a=1,3 b=1,3 c=1,3 d=3"},
        // A statement-level failure leaves the transaction open: the others are stored.
        DrainFault{"OneSeriesFails",
                   "CREATE TRIGGER fail BEFORE INSERT ON sm_stat_b BEGIN SELECT RAISE(ABORT, 'no b'); END;",
                   "DROP TRIGGER fail;",
                   {"error Failed to execute prepared statement", "error Unable to drain stat b: no b"},
                   "a=1,2 b=1 c=1,2 d=2",
                   "a=1,2,3 b=1,3 c=1,2,3 d=2,3"}),
    [](const ::testing::TestParamInfo<DrainFault>& info) { return std::string(info.param.name); });

// A table of d's name made by something else is refused once in the log, not
// at every pass; the others are stored, and d is once the table is gone.
TEST_F(DrainFailureTest, ARefusedSeriesIsLoggedOnceAndStoredOnceItsTableIsFree) {
  ASSERT_EQ(Database(db_).Exec("CREATE TABLE sm_stat_d (sm_timestamp INTEGER PRIMARY KEY, sm_stat_value TEXT);"),
            SQLITE_OK);
  for (uint64_t second = 1; second <= 3; ++second) {
    Sample(second);
    EXPECT_FALSE(collection_->Drain());
  }
  EXPECT_EQ(log_.Lines("error "),
            Rows{"error Refusing to store d: its table sm_stat_d has no numeric column sm_stat_value"});
  EXPECT_EQ(Stored(), "a=1,2,3 b=1,2,3 c=1,2,3 d=NULL");
  ASSERT_EQ(Database(db_).Exec("DROP TABLE sm_stat_d;"), SQLITE_OK);
  Sample(4);
  EXPECT_TRUE(collection_->Drain()) << log_.Text();
  EXPECT_EQ(Stored(), "a=1,2,3,4 b=1,2,3,4 c=1,2,3,4 d=4");
}

// d's instance goes away after second 101: its last sample is not written
// again, its rows still leave with the time to live (10 s), and a rolled-back
// pass is stored by the next one even when no newer sample has come.
TEST_F(DrainFailureTest, AGoneInstanceIsNotWrittenAgainAndStillExpires) {
  Kestrix::System::TestClock testClock(1, 100 * kSecond);
  Kestrix::System::ScopedTestClock installed(testClock);
  Reopen(OpenEngine(SqliteStorageEngine::DefaultBusyTimeoutMs, 10));
  Database check(db_);
  for (uint64_t s = 100; s <= 115; ++s) {
    testClock.SetUtc(s * kSecond);
    Sample(s, s <= 101);
    ASSERT_TRUE(collection_->Drain()) << log_.Text();
    if (s == 101) {
      ASSERT_EQ(check.Exec("CREATE TABLE writes (t); CREATE TRIGGER w AFTER INSERT ON sm_stat_d "
                           "BEGIN INSERT INTO writes VALUES (NEW.sm_timestamp); END;"),
                SQLITE_OK);
    }
    if (s == 110) {
      EXPECT_EQ(check.Rows("SELECT group_concat(sm_timestamp) FROM sm_stat_d;")[0], "100,101");
    }
  }
  EXPECT_EQ(check.Rows("SELECT count(*) FROM writes;")[0], "0");
  EXPECT_EQ(Stored(), "a=105,106,107,108,109,110,111,112,113,114,115 b=105,106,107,108,109,110,111,112,113,114,115 "
                      "c=105,106,107,108,109,110,111,112,113,114,115 d=NULL");

  // d comes back; the pass that brings it is rolled back, the next stores it.
  ASSERT_EQ(check.Exec("CREATE TRIGGER boom BEFORE INSERT ON sm_stat_d BEGIN SELECT RAISE(ROLLBACK, 'x'); END;"),
            SQLITE_OK);
  testClock.SetUtc(116 * kSecond);
  Sample(116);
  EXPECT_FALSE(collection_->Drain());
  ASSERT_EQ(check.Exec("DROP TRIGGER boom;"), SQLITE_OK);
  EXPECT_TRUE(collection_->Drain());
  EXPECT_EQ(check.Rows("SELECT group_concat(t) FROM writes;")[0], "116");
  EXPECT_EQ(Stored(), "a=106,107,108,109,110,111,112,113,114,115,116 b=106,107,108,109,110,111,112,113,114,115,116 "
                      "c=106,107,108,109,110,111,112,113,114,115,116 d=116");
}

// Samples carry wall-clock time: a clock set back still gives new samples.
TEST_F(DrainFailureTest, SamplesAfterTheClockWasSetBackAreStored) {
  // The second pass at 40 comes without d: its instance is gone, its sample stays.
  for (const auto& [second, withD] : {std::pair{100, true}, {40, true}, {40, false}, {41, true}}) {
    Sample(second, withD);
    ASSERT_TRUE(collection_->Drain()) << second;
  }
  EXPECT_EQ(Stored(), "a=40,41,100 b=40,41,100 c=40,41,100 d=40,41,100");
}

TEST_F(DrainFailureTest, LockShorterThanTheBusyTimeoutLosesNothing) {
  Sample(1);
  ASSERT_TRUE(collection_->Drain());
  Database holder(db_);
  ASSERT_EQ(holder.Exec("BEGIN IMMEDIATE; CREATE TABLE held (x);"), SQLITE_OK);
  Sample(2);
  std::atomic<bool> drained{false};
  bool result = false;
  std::thread drain([&] {
    result = collection_->Drain();
    drained = true;
  });
  // Give the drain time to run into the lock; the outcome is the same if it has not.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const bool finishedWhileLocked = drained;
  ASSERT_EQ(holder.Exec("COMMIT;"), SQLITE_OK);
  drain.join();
  EXPECT_FALSE(finishedWhileLocked) << "the drain did not wait for the lock";
  EXPECT_TRUE(result) << log_.Text();
  EXPECT_EQ(Stored(), "a=1,2 b=1,2 c=1,2 d=1,2");
}

// Three failed passes in a row make the engine reopen its connection; a pass
// that stores clears the count.
TEST_F(DrainFailureTest, LockLongerThanTheBusyTimeoutLosesOnlyThePassesDuringIt) {
  Reopen(OpenEngine(50));
  Sample(1);
  ASSERT_TRUE(collection_->Drain());
  {
    Database holder(db_);
    ASSERT_EQ(holder.Exec("BEGIN IMMEDIATE; CREATE TABLE held (x);"), SQLITE_OK);
    for (uint64_t s = 2; s < 2 + SqliteStorageEngine::ReopenAfterFailures; ++s) {
      Sample(s);
      EXPECT_FALSE(collection_->Drain()) << "pass " << s;
    }
    EXPECT_EQ(engine_->GetReopenCount(), 0u);
    ASSERT_EQ(holder.Exec("COMMIT;"), SQLITE_OK);
  }
  const Rows locked = {"error Failed to execute SQL BEGIN IMMEDIATE;",
                       "error Unable to drain stats: database is locked"};
  EXPECT_EQ(log_.Lines("error "), (Rows{locked[0], locked[1], locked[0], locked[1], locked[0], locked[1]}));
  for (uint64_t s : {5, 6}) {
    Sample(s);
    EXPECT_TRUE(collection_->Drain()) << log_.Text();
  }
  EXPECT_EQ(engine_->GetReopenCount(), 1u);
  EXPECT_EQ(log_.CountPrefix("warning Reopening database " + db_ + ": 3 consecutive failed writes"), 1u);
  EXPECT_EQ(Stored(), "a=1,5,6 b=1,5,6 c=1,5,6 d=1,5,6");
  EXPECT_EQ(Database(db_).Rows("PRAGMA integrity_check;"), Rows{"ok"});
}

}  // namespace
}  // namespace Tallywick
