#include "apps/tallywick/storageCollection.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "apps/tallywick/persistedStatMetadata.h"
#include "tests/apps/tallywick/collectionFakes.h"

namespace Tallywick {
namespace {

using Stats::NoKey;
using Stats::StatValue;
using Testing::CollectionTest;
using Testing::Database;
using Testing::Names;

constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kPeriod = 5 * kSecond;

PersistedStatRef Series(const std::string& name, const std::string& label, CollectedStatId id,
                        uint32_t kind = ValueKindInteger) {
  return Kestrix::MakeRef<PersistedStat>(name, label, kind, "m;", id);
}
PersistedStatRef Template(const std::string& name, const std::string& label, const std::string& metadata = "t;") {
  return Kestrix::MakeRef<PersistedStat>(name, label, ValueKindReal, metadata, NoKey);
}

class StorageCollectionTest : public CollectionTest {
protected:
  StorageCollectionRef Make(const RequestedStats& requested, PersistedStatList drainList,
                            InstanceNames names = {}) {
    if (!engine_) engine_ = OpenEngine();
    return Kestrix::MakeRef<StorageCollection>(engine_, kPeriod, requested, std::move(drainList), std::move(names),
                                               Context());
  }
  SqliteStorageEngineRef engine_;
};

TEST_F(StorageCollectionTest, MatchesLabelsAndRequestsEveryInstanceOfThem) {
  registry_->Add(5, "cpu.count");
  registry_->Add(9, "net.rx.activity", {Testing::NicAttribute()});
  registry_->Add(11, "other.stat");
  registry_->Add(12, "storage.used", {Testing::PathAttribute(".filesystem")});
  auto count = Series("cpu.count", "cpu.count.host", 1);
  auto missing = Series("missing", "missing.stat.host", 2);
  auto rx = Template("net.rx.activity", "net.rx.activity.pNIC");
  auto used = Template("storage.used.filesystem", "storage.used.D.filesystem");
  engine_ = OpenEngine();
  const size_t engineLines = log_.Lines().size();
  auto collection = Make({{"cpu.count.host", count}, {"missing.stat.host", missing},
                          {"net.rx.activity.pNIC", rx}, {"storage.used.D.filesystem", used}},
                         {count, missing});

  ASSERT_EQ(query_->requests.size(), 1u);
  std::vector<std::string> requested;
  for (const auto& i : query_->requests[0]) requested.push_back(Stats::InstanceToString(*i));
  EXPECT_EQ(requested, (std::vector<std::string>{"5()", "9('*')", "12('*')"}));
  EXPECT_EQ(count->GetStatInfo()->GetRegistryId(), 5);
  EXPECT_EQ(rx->GetStatInfo()->GetRegistryId(), 9);
  EXPECT_FALSE(missing->GetStatInfo());
  // One line per requested label, in label order.
  const auto lines = log_.Lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(engineLines), lines.end()),
            (std::vector<std::string>{"info Intend to persist stat label=cpu.count.host id=5",
                                                    "error Could not locate StatInfo found for missing.stat.host",
                                                    "info Intend to persist stat label=net.rx.activity.pNIC id=9",
                                                    "info Intend to persist stat label=storage.used.D.filesystem "
                                                    "id=12"}));
  EXPECT_EQ(collection->GetPeriod(), kPeriod);
}

TEST_F(StorageCollectionTest, NothingMatchedRequestsNothing) {
  registry_->Add(5, "cpu.count");
  auto collection = Make({{"absent.host", Series("absent", "absent.host", 1)}}, {});
  EXPECT_TRUE(query_->requests.empty());
  EXPECT_TRUE(collection->Drain());
}

TEST_F(StorageCollectionTest, TemplateGivesOneSeriesPerInstanceInAllocationOrder) {
  registry_->Add(9, "net.tx.activity", {Testing::NicAttribute()});
  registry_->Add(5, "cpu.count");
  auto tx = Template("net.tx.activity", "net.tx.activity.pNIC", CategoryMetadata("network", "kb_per_sec"));
  auto count = Series("cpu.count", "cpu.count.host", 40);
  auto collection = Make({{"net.tx.activity.pNIC", tx}, {"cpu.count.host", count}}, {count});

  EXPECT_EQ(Allocate(9, {"eth0"}), 0u);
  EXPECT_EQ(Allocate(9, {"lo"}), 1u);
  EXPECT_EQ(Allocate(5, {}), 40u) << "a series with its own id keeps it";
  EXPECT_EQ(Names(collection->GetDrainList()),
            (std::vector<std::string>{"cpu.count", "net.tx.activity.eth0", "net.tx.activity.lo"}));
  const auto& eth0 = collection->GetDrainList()[1];
  EXPECT_EQ(eth0->GetMetadata(),
            "category=com.norvex.fenmark.mon.cat.network;units=com.norvex.fenmark.mon.unit.kb_per_sec;instance=eth0;"
            "name=com.norvex.fenmark.mon.name.net.tx.activity.eth0;description=com.norvex.fenmark.mon.descr.net.tx."
            "activity.eth0;");
  EXPECT_EQ(eth0->GetLabel(), "net.tx.activity.pNIC");
  EXPECT_EQ(eth0->GetValueKind(), ValueKindReal);
  EXPECT_EQ(eth0->GetStatInfo()->GetRegistryId(), 9);
  EXPECT_EQ(log_.CountPrefix("info Allocated CollectedStatId 0 for statId 9 instance"), 1u);
  EXPECT_EQ(log_.CountPrefix("info Allocated CollectedStatId 1 for statId 9 instance"), 1u);
  EXPECT_EQ(log_.CountPrefix("info Allocated CollectedStatId 40 for statId 5 instance"), 1u);
}

TEST_F(StorageCollectionTest, ReturningInstanceKeepsItsOneSeries) {
  registry_->Add(9, "net.rx.activity", {Testing::NicAttribute()});
  auto collection = Make({{"net.rx.activity.pNIC", Template("net.rx.activity", "net.rx.activity.pNIC")}}, {});
  const uint64_t first = Allocate(9, {"eth0"});
  // An instance that missed a pass expires and is created again.
  for (int churn = 0; churn < 5; ++churn) EXPECT_EQ(Allocate(9, {"eth0"}), first) << "churn " << churn;
  EXPECT_EQ(collection->GetDrainList().size(), 1u);
  EXPECT_EQ(ids_.Next(), 1u) << "no id taken for a returning instance";
}

TEST_F(StorageCollectionTest, UnrequestedStatGetsNoKey) {
  registry_->Add(9, "net.rx.activity", {Testing::NicAttribute()});
  auto collection = Make({{"net.rx.activity.pNIC", Template("net.rx.activity", "net.rx.activity.pNIC")}}, {});
  EXPECT_EQ(Allocate(77, {"eth0"}), NoKey);
  EXPECT_EQ(log_.Count("info Won't allocate CollectedStatId for statId 77 not requested"), 1u);
  EXPECT_TRUE(collection->GetDrainList().empty());
}

TEST_F(StorageCollectionTest, ConfiguredNamesNameTheSeriesAndTheRawPathStaysInTheMetadata) {
  registry_->Add(3, "storage.used", {Testing::PathAttribute(".filesystem")});
  auto used = Template("storage.used.filesystem", "storage.used.D.filesystem", CategoryMetadata("storage", "kb"));
  auto collection = Make({{"storage.used.D.filesystem", used}}, {}, {{"/storage/log", "log"}});
  Allocate(3, {"/storage/log"});
  Allocate(3, {"/unnamed"});
  EXPECT_EQ(Names(collection->GetDrainList()),
            (std::vector<std::string>{"storage.used.filesystem.log", "storage.used.filesystem./unnamed"}));
  EXPECT_EQ(collection->GetDrainList()[0]->GetMetadata(),
            "category=com.norvex.fenmark.mon.cat.storage;units=com.norvex.fenmark.mon.unit.kb;instance=/storage/log;"
            "name=com.norvex.fenmark.mon.name.storage.used.filesystem.log;description=com.norvex.fenmark.mon.descr."
            "storage.used.filesystem.log;");
}

TEST_F(StorageCollectionTest, WriteKeepsTheLatestValidSample) {
  registry_->Add(5, "mem.physical");
  auto total = Series("mem.total", "mem.physical.host", 7);
  auto collection = Make({{"mem.physical.host", total}}, {total});
  ASSERT_EQ(Allocate(5, {}), 7u);
  Emit(7, 100, StatValue(10));
  EXPECT_EQ(total->GetValue(), StatValue(10));
  Emit(7, 200, Stats::InvalidValue);  // the previous sample stays
  query_->writer->Write(7, 300, nullptr, nullptr);
  Emit(8, 400, StatValue(99));  // not a key of this collection
  EXPECT_EQ(total->GetValue(), StatValue(10));
  EXPECT_EQ(total->GetTimestamp(), 100u);
  EXPECT_EQ(log_.Count("verbose Skipping InvalidValue for CollectedStatId 7 at timestamp 200"), 1u);
}

TEST_F(StorageCollectionTest, DrainStoresValidSeriesInOneCommit) {
  registry_->Add(5, "mem.physical");
  registry_->Add(6, "mem.physical.used");
  auto total = Series("mem.total", "mem.physical.host", 7);
  auto used = Series("mem.util", "mem.physical.used.host", 8);
  auto collection = Make({{"mem.physical.host", total}, {"mem.physical.used.host", used}}, {total, used});
  Allocate(5, {});
  Allocate(6, {});
  Emit(7, 10 * kSecond, StatValue(100));  // mem.util has no value yet: skipped without a word
  uint64_t commits = engine_->GetCommitCount();
  EXPECT_TRUE(collection->Drain());
  EXPECT_EQ(engine_->GetCommitCount() - commits, 1u);
  Emit(7, 20 * kSecond, StatValue(200));
  Emit(8, 20 * kSecond, StatValue(50));
  commits = engine_->GetCommitCount();
  EXPECT_TRUE(collection->Drain());
  EXPECT_EQ(engine_->GetCommitCount() - commits, 1u);
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_total ORDER BY 1;"), (std::vector<std::string>{"10|100", "20|200"}));
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_util;"), std::vector<std::string>{"20|50"});
  EXPECT_EQ(log_.CountPrefix("error "), 0u) << log_.Text();
}

TEST_F(StorageCollectionTest, LoopGoesOnAfterAFailedPassAndStopsAtTheWait) {
  registry_->Add(5, "mem.physical");
  auto total = Series("mem.total", "mem.physical.host", 7);
  auto collection = Make({{"mem.physical.host", total}}, {total});
  query_->onExecute = [&](int pass) {
    if (pass == 1) throw Kestrix::InvalidStateException("provider broke");
    if (pass == 2) Allocate(5, {});
    Emit(7, static_cast<uint64_t>(pass) * kSecond, StatValue(pass));
  };
  std::vector<uint64_t> waits;
  EXPECT_TRUE(collection->RunQueryLoop([&](uint64_t timeout) {
    waits.push_back(timeout);
    return waits.size() == 3;
  }));
  EXPECT_EQ(query_->executions, 3);
  EXPECT_EQ(waits, (std::vector<uint64_t>{kPeriod, kPeriod, kPeriod}));
  EXPECT_EQ(log_.Count("info Running query every 5000000 usec"), 1u);
  EXPECT_EQ(log_.Count("error Sampling pass failed: provider broke"), 1u);
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_total ORDER BY 1;"), (std::vector<std::string>{"2|2", "3|3"}));
}

TEST_F(StorageCollectionTest, StopBeforeTheLoopStillRunsOnePass) {
  auto collection = Make({}, {});
  int waits = 0;
  collection->RunQueryLoop([&](uint64_t) { return ++waits > 0; });
  EXPECT_EQ(query_->executions, 1);
  EXPECT_EQ(waits, 1);
}

// Four series with their own ids, fed directly (no registry needed to drain).
class DrainFailureTest : public StorageCollectionTest {
protected:
  void SetUp() override {
    for (const char* name : {"a", "d", "b", "c"}) stats_.push_back(Series(name, std::string(name) + ".host", id_++));
    collection_ = Make({}, stats_);
  }
  void Sample(uint64_t second, bool withD) {
    for (auto& s : stats_) {
      if (s->GetName() != "d" || withD) s->SetSample(second * kSecond, StatValue(static_cast<int64_t>(second)));
    }
  }
  std::vector<std::string> Seconds(const std::string& table) {
    Database check(db_);
    if (check.Rows("SELECT count(*) FROM sqlite_master WHERE name = '" + table + "';")[0] == "0") return {"none"};
    return check.Rows("SELECT sm_timestamp FROM " + table + " ORDER BY 1;");
  }

  CollectedStatId id_ = 0;
  PersistedStatList stats_;
  StorageCollectionRef collection_;
};

TEST_F(DrainFailureTest, TransactionRolledBackByTheDatabaseStopsThePassAndTheNextPassStoresAll) {
  Sample(1, false);
  ASSERT_TRUE(collection_->Drain());
  Database(db_).Exec("CREATE TRIGGER boom BEFORE INSERT ON sm_stat_b BEGIN SELECT RAISE(ROLLBACK, 'forced'); END;");
  Sample(2, true);  // d is new in this pass: its table is created inside the doomed transaction
  EXPECT_FALSE(collection_->Drain());
  EXPECT_EQ(log_.Count("error Unable to drain stat b: forced"), 1u) << log_.Text();
  EXPECT_EQ(log_.Count("error Drain stopped: the database rolled back the pass at b"), 1u);
  EXPECT_EQ(log_.CountPrefix("error Unable to drain stat c"), 0u) << "c must not be stored one by one";
  EXPECT_EQ(Seconds("sm_stat_a"), std::vector<std::string>{"1"});
  EXPECT_EQ(Seconds("sm_stat_d"), std::vector<std::string>{"none"});
  EXPECT_EQ(Seconds("sm_stat_c"), std::vector<std::string>{"1"});

  Database(db_).Exec("DROP TRIGGER boom;");
  Sample(3, true);
  EXPECT_TRUE(collection_->Drain());
  EXPECT_EQ(Seconds("sm_stat_a"), (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(Seconds("sm_stat_d"), std::vector<std::string>{"3"}) << "d's creation is retried";
  EXPECT_EQ(Seconds("sm_stat_b"), (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(Database(db_).Rows("SELECT count(*) FROM sm_stats_metadata;"), std::vector<std::string>{"4"});
}

TEST_F(DrainFailureTest, FailingCommitIsLoggedAndRolledBack) {
  Sample(1, true);
  ASSERT_TRUE(collection_->Drain());
  // A deferred foreign-key violation lets every statement pass and fails the COMMIT.
  Database(db_).Exec(
      "CREATE TABLE parent (id INTEGER PRIMARY KEY);"
      "CREATE TABLE child (p INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED);"
      "CREATE TRIGGER orphan AFTER INSERT ON sm_stat_c BEGIN INSERT INTO child VALUES (99); END;");
  engine_->ExecuteSql("PRAGMA foreign_keys = ON;");
  Sample(2, true);
  EXPECT_FALSE(collection_->Drain());
  EXPECT_EQ(log_.Count("error Failed to execute SQL COMMIT;"), 1u) << log_.Text();
  EXPECT_EQ(log_.Count("error Unable to drain stats: FOREIGN KEY constraint failed"), 1u);
  EXPECT_EQ(Seconds("sm_stat_a"), std::vector<std::string>{"1"});
  EXPECT_EQ(Database(db_).Rows("SELECT count(*) FROM child;"), std::vector<std::string>{"0"});

  Database(db_).Exec("DROP TRIGGER orphan;");
  Sample(3, true);
  EXPECT_TRUE(collection_->Drain());
  EXPECT_EQ(Seconds("sm_stat_c"), (std::vector<std::string>{"1", "3"}));
}

TEST_F(DrainFailureTest, FailingSeriesIsLoggedAndTheOthersAreStored) {
  Sample(1, true);
  ASSERT_TRUE(collection_->Drain());
  // A statement-level failure leaves the transaction open.
  Database(db_).Exec("CREATE TRIGGER fail BEFORE INSERT ON sm_stat_b BEGIN SELECT RAISE(ABORT, 'no b'); END;");
  Sample(2, true);
  EXPECT_FALSE(collection_->Drain());
  EXPECT_EQ(log_.Count("error Failed to execute prepared statement"), 1u) << log_.Text();
  EXPECT_EQ(log_.Count("error Unable to drain stat b: no b"), 1u);
  for (const char* t : {"sm_stat_a", "sm_stat_c", "sm_stat_d"}) {
    EXPECT_EQ(Seconds(t), (std::vector<std::string>{"1", "2"})) << t;
  }
  Database(db_).Exec("DROP TRIGGER fail;");
  Sample(3, true);
  EXPECT_TRUE(collection_->Drain()) << "the failed step is not echoed by the next reset: " << log_.Text();
  EXPECT_EQ(Seconds("sm_stat_b"), (std::vector<std::string>{"1", "3"}));
}

TEST_F(DrainFailureTest, LockShorterThanTheBusyTimeoutLosesNothing) {
  Sample(1, true);
  ASSERT_TRUE(collection_->Drain());
  Database holder(db_);
  ASSERT_EQ(holder.Exec("BEGIN IMMEDIATE; CREATE TABLE held (x);"), SQLITE_OK);
  Sample(2, true);
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
  for (const char* t : {"sm_stat_a", "sm_stat_b", "sm_stat_c", "sm_stat_d"}) {
    EXPECT_EQ(Seconds(t), (std::vector<std::string>{"1", "2"})) << t;
  }
}

TEST_F(DrainFailureTest, LockLongerThanTheBusyTimeoutLosesOnlyThePassesDuringIt) {
  engine_.Reset();
  collection_.Reset();
  engine_ = OpenEngine(50);
  collection_ = Make({}, stats_);
  Sample(1, true);
  ASSERT_TRUE(collection_->Drain());
  {
    Database holder(db_);
    ASSERT_EQ(holder.Exec("BEGIN IMMEDIATE; CREATE TABLE held (x);"), SQLITE_OK);
    for (uint64_t s : {2, 3}) {
      Sample(s, true);
      EXPECT_FALSE(collection_->Drain()) << "pass " << s;
    }
    ASSERT_EQ(holder.Exec("COMMIT;"), SQLITE_OK);
  }
  EXPECT_EQ(log_.Count("error Failed to execute SQL BEGIN IMMEDIATE;"), 2u) << log_.Text();
  EXPECT_EQ(log_.Count("error Unable to drain stats: database is locked"), 2u);
  Sample(4, true);
  EXPECT_TRUE(collection_->Drain()) << log_.Text();
  for (const char* t : {"sm_stat_a", "sm_stat_b", "sm_stat_c", "sm_stat_d"}) {
    EXPECT_EQ(Seconds(t), (std::vector<std::string>{"1", "4"})) << t;
  }
  EXPECT_EQ(Database(db_).Rows("PRAGMA integrity_check;"), std::vector<std::string>{"ok"});
}

}  // namespace
}  // namespace Tallywick
