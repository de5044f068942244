#include "apps/tallywick/sqliteStorageEngineImpl.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

#include "apps/tallywick/healthStatus.h"
#include "kestrix/time.h"
#include "tests/apps/tallywick/testSupport.h"

namespace Tallywick {
namespace {

using Stats::StatValue;
using Testing::CapturedLog;
using Testing::Database;
using Testing::ScratchDir;

constexpr uint64_t kSecond = 1000000;

class SqliteStorageEngineTest : public ::testing::Test {
protected:
  // The default time to live keeps every row, whatever the samples' age.
  SqliteStorageEngineRef Open(uint64_t ttlSec = std::numeric_limits<uint64_t>::max(), int busyMs = SqliteStorageEngine::DefaultBusyTimeoutMs) {
    auto engine = Kestrix::MakeRef<SqliteStorageEngine>(db_, ttlSec, log_.Logger(), busyMs);
    engine->Initialize();
    return engine;
  }
  static PersistedStatRef Stat(const std::string& name, uint32_t kind, CollectedStatId id,
                               const std::string& metadata = "meta;") {
    return Kestrix::MakeRef<PersistedStat>(name, name + ".host", kind, metadata, id);
  }

  ScratchDir dir_;
  CapturedLog log_{dir_};
  std::string db_ = dir_.File("stats.db");
};

TEST_F(SqliteStorageEngineTest, FreshFileGetsTheMetadataTableAsWritten) {
  ASSERT_FALSE(std::filesystem::exists(db_));
  Open();
  ASSERT_TRUE(std::filesystem::exists(db_));
  Database check(db_);
  // SQLite keeps the creation text minus "IF NOT EXISTS" and the final ";".
  EXPECT_EQ(check.Rows("SELECT sql FROM sqlite_master WHERE name = 'sm_stats_metadata';"),
            std::vector<std::string>{
                "CREATE TABLE \"sm_stats_metadata\" (   stat_id         VARCHAR(128),   stat_table_name "
                "VARCHAR(128),   stat_metadata   VARCHAR(512),   CONSTRAINT \"pk_sm_stats_metadata\" PRIMARY "
                "KEY (stat_id),   CONSTRAINT \"uniq_sm_stats_metadata\" UNIQUE (stat_table_name))"});
  EXPECT_EQ(check.Rows("PRAGMA journal_mode;"), std::vector<std::string>{"wal"});
  EXPECT_EQ(log_.CountPrefix("info SqliteStorageEngine using SQLite version: "), 1u);
  EXPECT_EQ(log_.Count(std::string("info SqliteStorageEngine using SQLite version: ") + sqlite3_libversion()), 1u);
}

TEST_F(SqliteStorageEngineTest, FirstStoreCreatesTheSeriesTableAndItsMetadataRow) {
  auto engine = Open();
  auto total = Stat("mem.total", ValueKindInteger, 6, "category=x;");
  auto freq = Stat("cpu.totalfrequency", ValueKindReal, 4, "category=y;");
  total->SetSample(1700000000 * kSecond, StatValue(8000000));
  freq->SetSample(1700000000 * kSecond, StatValue(2400));
  engine->Store(*total);
  engine->Store(*freq);

  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT sql FROM sqlite_master WHERE name = 'sm_stat_mem_total';"),
            std::vector<std::string>{"CREATE TABLE \"sm_stat_mem_total\" (    sm_timestamp    INTEGER,   "
                                     "sm_stat_value   INTEGER,   CONSTRAINT \"pk_sm_stat_mem_total\" PRIMARY KEY "
                                     "(sm_timestamp))"});
  EXPECT_EQ(check.Rows("SELECT sql FROM sqlite_master WHERE name = 'sm_stat_cpu_totalfrequency';"),
            std::vector<std::string>{"CREATE TABLE \"sm_stat_cpu_totalfrequency\" (    sm_timestamp    INTEGER,   "
                                     "sm_stat_value   REAL,   CONSTRAINT \"pk_sm_stat_cpu_totalfrequency\" PRIMARY "
                                     "KEY (sm_timestamp))"});
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stats_metadata ORDER BY stat_id;"),
            (std::vector<std::string>{"cpu.totalfrequency|sm_stat_cpu_totalfrequency|category=y;",
                                      "mem.total|sm_stat_mem_total|category=x;"}));
  EXPECT_EQ(check.Rows("SELECT sm_timestamp, sm_stat_value, typeof(sm_stat_value) FROM sm_stat_mem_total;"),
            std::vector<std::string>{"1700000000|8000000|integer"});
}

TEST_F(SqliteStorageEngineTest, ValuesAreStoredByKindAndTimestampsInWholeSeconds) {
  auto engine = Open();
  const struct {
    StatValue value;
    uint32_t kind;
    const char* want;  // value|typeof
  } cases[] = {
      {StatValue(7, 2), ValueKindInteger, "3|integer"},
      {StatValue(7, 2), ValueKindReal, "3.5|real"},
      {StatValue(-7, 2), ValueKindInteger, "-3|integer"},
      {StatValue(-7, 2), ValueKindReal, "-3.5|real"},
      {StatValue(2, 3), ValueKindInteger, "0|integer"},
      {StatValue(1, 4), ValueKindReal, "0.25|real"},
      {StatValue(std::numeric_limits<int64_t>::max()), ValueKindInteger, "9223372036854775807|integer"},
      {Stats::InvalidValue, ValueKindInteger, "NULL|null"},
      {Stats::InvalidValue, ValueKindReal, "NULL|null"},
  };
  CollectedStatId id = 0;
  for (const auto& c : cases) {
    auto stat = Stat("v" + std::to_string(id), c.kind, id);
    // N seconds and 999,999 µs is stored as N.
    stat->SetSample(1700000000 * kSecond + 999999, c.value);
    engine->Store(*stat);
    Database check(db_);
    EXPECT_EQ(check.Rows("SELECT sm_timestamp || '|' || ifnull(sm_stat_value, 'NULL') || '|' || "
                         "typeof(sm_stat_value) FROM " + TableNameFor(stat->GetName()) + ";"),
              std::vector<std::string>{std::string("1700000000|") + c.want})
        << c.value.numerator() << "/" << c.value.denominator() << " kind " << c.kind;
    ++id;
  }
}

TEST_F(SqliteStorageEngineTest, SecondSampleInTheSameSecondReplacesTheFirst) {
  auto engine = Open();
  auto stat = Stat("mem.util", ValueKindInteger, 1);
  stat->SetSample(100 * kSecond + 1, StatValue(1));
  engine->Store(*stat);
  stat->SetSample(100 * kSecond + 500000, StatValue(2));
  engine->Store(*stat);
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_util;"), std::vector<std::string>{"100|2"});
}

TEST_F(SqliteStorageEngineTest, StoreDeletesRowsStrictlyOlderThanTheTimeToLive) {
  const uint64_t t = 1700000000;
  Kestrix::System::TestClock clock(1, (t - 3601) * kSecond);
  Kestrix::System::ScopedTestClock installed(clock);
  auto engine = Open(3600);
  auto stat = Stat("mem.util", ValueKindInteger, 1);
  for (uint64_t s : {t - 3601, t - 3600, t}) {
    clock.SetUtc(s * kSecond);
    stat->SetSample(s * kSecond, StatValue(static_cast<int64_t>(s % 100)));
    engine->Store(*stat);
  }
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT sm_timestamp FROM sm_stat_mem_util ORDER BY 1;"),
            (std::vector<std::string>{std::to_string(t - 3600), std::to_string(t)}));
}

TEST_F(SqliteStorageEngineTest, HugeTimeToLiveKeepsEverything) {
  auto engine = Open(std::numeric_limits<uint64_t>::max());
  auto stat = Stat("mem.util", ValueKindInteger, 1);
  for (uint64_t s : {1u, 2u}) {
    stat->SetSample(s * kSecond, StatValue(1));
    engine->Store(*stat);
  }
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT count(*) FROM sm_stat_mem_util;"), std::vector<std::string>{"2"});
}

TEST_F(SqliteStorageEngineTest, OddSeriesNamesAreQuotedNotInjected) {
  auto engine = Open();
  const std::vector<std::string> names = {"net.tx.activity.q\"x", "net.tx.activity.eth0.100",
                                          "x\"; DROP TABLE sm_stats_metadata; --", "y'z"};
  CollectedStatId id = 10;
  for (const auto& name : names) {
    auto stat = Stat(name, ValueKindReal, id++);
    stat->SetSample(50 * kSecond, StatValue(3, 2));
    engine->Store(*stat);
  }
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT stat_id || '=>' || stat_table_name FROM sm_stats_metadata ORDER BY stat_table_name;"),
            (std::vector<std::string>{"net.tx.activity.eth0.100=>sm_stat_net_tx_activity_eth0_100",
                                      "net.tx.activity.q\"x=>sm_stat_net_tx_activity_q\"x",
                                      "x\"; DROP TABLE sm_stats_metadata; --=>sm_stat_x\"; DROP TABLE "
                                      "sm_stats_metadata; --",
                                      "y'z=>sm_stat_y'z"}));
  EXPECT_EQ(check.Rows("SELECT * FROM \"sm_stat_net_tx_activity_q\"\"x\";"), std::vector<std::string>{"50|1.5"});
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_net_tx_activity_eth0_100;"), std::vector<std::string>{"50|1.5"});
  EXPECT_EQ(check.Rows("SELECT sql FROM sqlite_master WHERE name = 'sm_stat_net_tx_activity_q\"x';"),
            std::vector<std::string>{"CREATE TABLE \"sm_stat_net_tx_activity_q\"\"x\" (    sm_timestamp    "
                                     "INTEGER,   sm_stat_value   REAL,   CONSTRAINT \"pk_sm_stat_net_tx_activity_q\"\"x\" "
                                     "PRIMARY KEY (sm_timestamp))"});
}

TEST_F(SqliteStorageEngineTest, RefusesASecondSeriesForOneTable) {
  auto engine = Open();
  auto first = Stat("net.rx.activity.eth0.100", ValueKindReal, 1, "first;");
  first->SetSample(10 * kSecond, StatValue(1));
  engine->Store(*first);
  const struct {
    const char* name;
    const char* table;
  } clashes[] = {
      {"net.rx.activity.eth0_100", "sm_stat_net_rx_activity_eth0_100"},  // dot and underscore
      {"net.rx.activity.ETH0.100", "sm_stat_net_rx_activity_ETH0_100"},  // case only
  };
  CollectedStatId id = 2;
  for (const auto& c : clashes) {
    auto other = Stat(c.name, ValueKindReal, id++, "other;");
    other->SetSample(20 * kSecond, StatValue(2));
    const std::string want = std::string("Refusing to store ") + c.name + ": its table " + c.table +
                             " already belongs to net.rx.activity.eth0.100";
    try {
      engine->Store(*other);
      ADD_FAILURE() << c.name << " was stored into another series' table";
    } catch (const StorageException& e) {
      EXPECT_EQ(std::string(e.what()), want) << c.name;
    }
    EXPECT_EQ(log_.Count("error " + want), 1u) << c.name;
  }
  // The first series keeps its row and its samples; storing it goes on.
  first->SetSample(30 * kSecond, StatValue(3));
  engine->Store(*first);
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT stat_id, stat_metadata FROM sm_stats_metadata;"),
            std::vector<std::string>{"net.rx.activity.eth0.100|first;"});
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_net_rx_activity_eth0_100 ORDER BY 1;"),
            (std::vector<std::string>{"10|1.0", "30|3.0"}));
}

TEST_F(SqliteStorageEngineTest, RestartKeepsTablesAndRefreshesMetadata) {
  {
    auto engine = Open();
    auto stat = Stat("mem.total", ValueKindInteger, 6, "old;");
    stat->SetSample(10 * kSecond, StatValue(1));
    engine->Store(*stat);
  }
  auto engine = Open();
  auto stat = Stat("mem.total", ValueKindInteger, 3, "new;");
  stat->SetSample(20 * kSecond, StatValue(2));
  engine->Store(*stat);
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT stat_metadata FROM sm_stats_metadata;"), std::vector<std::string>{"new;"});
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_total ORDER BY 1;"), (std::vector<std::string>{"10|1", "20|2"}));
}

TEST_F(SqliteStorageEngineTest, TransactionStoresAPassWithOneCommit) {
  auto engine = Open();
  std::vector<PersistedStatRef> stats;
  for (CollectedStatId id = 0; id < 5; ++id) stats.push_back(Stat("s" + std::to_string(id), ValueKindInteger, id));
  for (int pass = 1; pass <= 3; ++pass) {
    const uint64_t before = engine->GetCommitCount();
    StorageTransaction transaction(*engine);
    for (auto& s : stats) {
      s->SetSample(pass * kSecond, StatValue(pass));
      engine->Store(*s);
    }
    EXPECT_TRUE(transaction.IsActive());
    transaction.Commit();
    EXPECT_FALSE(transaction.IsActive());
    EXPECT_EQ(engine->GetCommitCount() - before, 1u) << "pass " << pass;
  }
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT count(*) FROM sm_stat_s4;"), std::vector<std::string>{"3"});
}

TEST_F(SqliteStorageEngineTest, RolledBackTransactionStoresNothingAndCreationIsRetried) {
  auto engine = Open();
  auto stat = Stat("mem.util", ValueKindInteger, 1);
  stat->SetSample(10 * kSecond, StatValue(1));
  {
    StorageTransaction transaction(*engine);
    engine->Store(*stat);  // creates the table inside the transaction
  }  // rolled back: no table, no metadata row
  {
    Database check(db_);
    EXPECT_EQ(check.Rows("SELECT count(*) FROM sqlite_master WHERE name = 'sm_stat_mem_util';"),
              std::vector<std::string>{"0"});
  }
  engine->Store(*stat);  // must create the table again, not reuse dead statements
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_util;"), std::vector<std::string>{"10|1"});
  EXPECT_EQ(check.Rows("SELECT stat_id FROM sm_stats_metadata;"), std::vector<std::string>{"mem.util"});
}

TEST_F(SqliteStorageEngineTest, TwoThreadsStoreAtOnce) {
  auto engine = Open();
  constexpr int kPasses = 40;
  auto worker = [&](CollectedStatId firstId, const std::string& prefix, bool transactions) {
    std::vector<PersistedStatRef> stats;
    for (CollectedStatId i = 0; i < 4; ++i) stats.push_back(Stat(prefix + std::to_string(i), ValueKindReal, firstId + i));
    for (int pass = 1; pass <= kPasses; ++pass) {
      if (transactions) {
        StorageTransaction transaction(*engine);
        for (auto& s : stats) {
          s->SetSample(pass * kSecond, StatValue(pass));
          engine->Store(*s);
        }
        transaction.Commit();
      } else {
        for (auto& s : stats) {
          s->SetSample(pass * kSecond, StatValue(pass));
          engine->Store(*s);
        }
      }
    }
  };
  std::thread a(worker, 0, "a", true);
  std::thread b(worker, 100, "b", false);
  std::thread c(worker, 200, "c", true);
  a.join();
  b.join();
  c.join();
  Database check(db_);
  for (const char* table : {"sm_stat_a0", "sm_stat_a3", "sm_stat_b0", "sm_stat_b3", "sm_stat_c2"}) {
    EXPECT_EQ(check.Rows(std::string("SELECT count(*), sum(sm_stat_value) FROM ") + table + ";"),
              std::vector<std::string>{std::to_string(kPasses) + "|" + std::to_string(kPasses * (kPasses + 1) / 2) +
                                       ".0"})
        << table;
  }
  EXPECT_EQ(check.Rows("SELECT count(*) FROM sm_stats_metadata;"), std::vector<std::string>{"12"});
  EXPECT_EQ(log_.CountPrefix("error "), 0u) << log_.Text();
}

TEST(CreateStorageEngineTest, OnlySqliteIsSupported) {
  ScratchDir dir;
  for (const char* name : {"sqlite3", "SQLite", "", "sqlite "}) {
    try {
      CreateStorageEngine(name, dir.File("x.db"), 60);
      ADD_FAILURE() << "engine name '" << name << "' accepted";
    } catch (const StorageException& e) {
      EXPECT_EQ(std::string(e.what()), "Only sqlite storage engine is supported.") << name;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.db")));
  EXPECT_TRUE(CreateStorageEngine("sqlite", dir.File("x.db"), 60));
}

TEST(CreateStorageEngineTest, UnopenableLocatorRaisesWithSqlitesMessage) {
  ScratchDir dir;
  CapturedLog log(dir);
  const std::string locator = dir.File("missing-dir/x.db");
  try {
    CreateStorageEngine("sqlite", locator, 60, log.Logger());
    ADD_FAILURE() << "opened " << locator;
  } catch (const StorageException& e) {
    EXPECT_EQ(std::string(e.what()), "unable to open database file");
  }
  EXPECT_EQ(log.Count("error SQLite database open failed for " + locator), 1u);
}

TEST(TableNameForTest, ReplacesDotsOnly) {
  const struct {
    const char* name;
    const char* want;
  } cases[] = {
      {"cpu.util", "sm_stat_cpu_util"},
      {"net.tx.activity.eth0.100", "sm_stat_net_tx_activity_eth0_100"},
      {"q\"x", "sm_stat_q\"x"},
      {"..", "sm_stat___"},
      {"", "sm_stat_"},
  };
  for (const auto& c : cases) EXPECT_EQ(TableNameFor(c.name), c.want) << c.name;
}

// Health check --------------------------------------------------------------

class HealthCheckTest : public SqliteStorageEngineTest {
protected:
  HealthStatus Check(SqliteStorageEngine& engine) {
    HealthStatus status;
    engine.CheckHealth(status);
    return status;
  }
  const std::string integrityMessage_ = std::string("<message messageKey=\"") + DbIntegrityMessageKey +
                                        "\" defaultMessage=\"" + DbIntegrityMessageText + "\"></message>";
};

TEST_F(HealthCheckTest, SoundDatabaseAddsNothing) {
  auto engine = Open();
  HealthStatus status = Check(*engine);
  EXPECT_EQ(status.level, HealthLevel::Green);
  EXPECT_EQ(status.messages, "");
  EXPECT_EQ(log_.CountPrefix("error "), 0u);
}

TEST_F(HealthCheckTest, MissingFileIsRedAndNotCreated) {
  auto engine = Open();
  engine->ExecuteSql("PRAGMA wal_checkpoint(TRUNCATE);");
  std::filesystem::remove(db_);
  HealthStatus status = Check(*engine);
  EXPECT_EQ(status.level, HealthLevel::Red);
  EXPECT_EQ(status.messages, integrityMessage_);
  EXPECT_FALSE(std::filesystem::exists(db_));
  EXPECT_EQ(log_.Count("error SQLite database health check failed due to: unable to open database file"), 1u)
      << log_.Text();
}

TEST_F(HealthCheckTest, CorruptedPagesAreRed) {
  {
    auto engine = Open();
    auto stat = Stat("mem.util", ValueKindInteger, 1);
    StorageTransaction transaction(*engine);
    for (uint64_t s = 1; s <= 20000; ++s) {
      stat->SetSample(s * kSecond, StatValue(static_cast<int64_t>(s)));
      engine->Store(*stat);
    }
    transaction.Commit();
  }  // the last connection's close moves the log into the database file
  const auto size = std::filesystem::file_size(db_);
  ASSERT_GT(size, 8 * 4096u);
  {
    // Overwrite the cell pointers of a page in the middle of the series table.
    std::fstream f(db_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>((size / 4096 / 2) * 4096 + 100));
    const std::string garbage(200, '\xff');
    f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  auto engine = Open();  // opening does not examine quick_check's answer
  HealthStatus status = Check(*engine);
  EXPECT_EQ(status.level, HealthLevel::Red);
  EXPECT_EQ(status.messages, integrityMessage_);
  EXPECT_EQ(log_.CountPrefix("error SQLite database health check failed due to: *** in database main ***"), 1u)
      << log_.Text();
}

TEST_F(HealthCheckTest, FileThatIsNotADatabaseIsRed) {
  auto engine = Open();
  engine->ExecuteSql("PRAGMA wal_checkpoint(TRUNCATE);");
  std::ofstream(db_, std::ios::trunc) << std::string(8192, 'x');
  HealthStatus status = Check(*engine);
  EXPECT_EQ(status.level, HealthLevel::Red);
  EXPECT_EQ(status.messages, integrityMessage_);
  EXPECT_EQ(log_.CountPrefix("error SQLite database health check failed due to: "), 1u) << log_.Text();
}

// Recovery: the engine keeps one connection; these faults make it reopen.
TEST_F(SqliteStorageEngineTest, ReopensWhenTheFileIsGoneOrReplaced) {
  struct Case {
    const char* fault;
    std::function<void(const std::string&)> apply;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"deleted",
       [](const std::string& db) {
         for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix);
       },
       "the file is gone"},
      {"replaced",
       [](const std::string& db) {
         const std::string other = db + ".other";
         { Database created(other, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE); created.Exec("CREATE TABLE x(a);"); }
         std::filesystem::rename(other, db);
       },
       "the file was replaced"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    std::filesystem::remove(db_);
    auto engine = Open();
    auto stat = Stat("mem.total", ValueKindInteger, 1);
    stat->SetSample(10 * kSecond, StatValue(1));
    engine->Store(*stat);
    c.apply(db_);
    stat->SetSample(11 * kSecond, StatValue(2));
    {
      StorageTransaction transaction(*engine);
      engine->Store(*stat);  // the cached statements would write into the old file
      transaction.Commit();
    }
    EXPECT_EQ(engine->GetReopenCount(), 1u);
    EXPECT_EQ(log_.CountPrefix(std::string("warning Reopening database ") + db_ + ": " + c.reason), 1u);
    Database check(db_);
    EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_total;"), std::vector<std::string>{"11|2"});
    EXPECT_EQ(check.Rows("SELECT stat_id FROM sm_stats_metadata;"), std::vector<std::string>{"mem.total"});
    HealthStatus health;
    engine->CheckHealth(health);
    EXPECT_EQ(health.level, HealthLevel::Green);
    engine.Reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db_ + suffix);
  }
}

TEST_F(SqliteStorageEngineTest, ReopensAfterConsecutiveFailedWritesAndStoresAgain) {
  auto engine = Open(std::numeric_limits<uint64_t>::max(), 10);
  auto stat = Stat("mem.total", ValueKindInteger, 1);
  stat->SetSample(10 * kSecond, StatValue(1));
  engine->Store(*stat);
  {
    Database holder(db_);
    ASSERT_EQ(holder.Exec("BEGIN IMMEDIATE;"), SQLITE_OK);
    for (unsigned i = 0; i < SqliteStorageEngine::ReopenAfterFailures; ++i) {
      EXPECT_THROW(StorageTransaction transaction(*engine), StorageException) << "attempt " << i;
    }
    EXPECT_EQ(engine->GetReopenCount(), 0u);
    holder.Exec("ROLLBACK;");
  }
  stat->SetSample(11 * kSecond, StatValue(2));
  {
    StorageTransaction transaction(*engine);
    engine->Store(*stat);
    transaction.Commit();
  }
  EXPECT_EQ(engine->GetReopenCount(), 1u);
  EXPECT_EQ(log_.CountPrefix("warning Reopening database " + db_ + ": 3 consecutive failed writes"), 1u);
  // A success clears the count: the next pass does not reopen.
  stat->SetSample(12 * kSecond, StatValue(3));
  engine->Store(*stat);
  EXPECT_EQ(engine->GetReopenCount(), 1u);
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_total ORDER BY 1;"),
            (std::vector<std::string>{"10|1", "11|2", "12|3"}));
}

TEST_F(SqliteStorageEngineTest, FailedReopenIsRetriedByTheNextWrite) {
  auto engine = Open();
  auto stat = Stat("mem.total", ValueKindInteger, 1);
  stat->SetSample(10 * kSecond, StatValue(1));
  engine->Store(*stat);
  // A directory where the file was: the reopen cannot open it.
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db_ + suffix);
  std::filesystem::create_directory(db_);
  EXPECT_THROW(engine->Store(*stat), StorageException);
  EXPECT_THROW(engine->Store(*stat), StorageException);  // no connection: tries again
  EXPECT_EQ(log_.CountPrefix("error SQLite database open failed for " + db_), 2u);
  std::filesystem::remove(db_);
  stat->SetSample(11 * kSecond, StatValue(2));
  engine->Store(*stat);
  EXPECT_EQ(engine->GetReopenCount(), 1u);
  Database check(db_);
  EXPECT_EQ(check.Rows("SELECT * FROM sm_stat_mem_total;"), std::vector<std::string>{"11|2"});
}

TEST_F(SqliteStorageEngineTest, TwoThreadsStoreWhileTheFileIsDeleted) {
  auto engine = Open();
  constexpr int kPasses = 30;
  auto worker = [&](CollectedStatId id, const std::string& name) {
    auto stat = Stat(name, ValueKindInteger, id);
    for (int pass = 1; pass <= kPasses; ++pass) {
      stat->SetSample(pass * kSecond, StatValue(pass));
      StorageTransaction transaction(*engine);
      engine->Store(*stat);
      transaction.Commit();
    }
  };
  std::thread a(worker, 1, "a");
  std::thread b(worker, 2, "b");
  for (int i = 0; i < 3; ++i) std::filesystem::remove(db_);
  a.join();
  b.join();
  std::filesystem::remove(db_);
  std::thread c(worker, 1, "a");
  std::thread d(worker, 2, "b");
  c.join();
  d.join();
  EXPECT_GE(engine->GetReopenCount(), 1u);
  Database check(db_);
  EXPECT_EQ(check.Rows("PRAGMA integrity_check;"), std::vector<std::string>{"ok"});
  // The last deletion came before the second round: it stored every pass.
  EXPECT_EQ(check.Rows("SELECT count(*) FROM sm_stat_a;"), std::vector<std::string>{std::to_string(kPasses)});
  EXPECT_EQ(check.Rows("SELECT count(*) FROM sm_stat_b;"), std::vector<std::string>{std::to_string(kPasses)});
}

}  // namespace
}  // namespace Tallywick
