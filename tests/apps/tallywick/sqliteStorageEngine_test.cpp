#include "apps/tallywick/sqliteStorageEngineImpl.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <thread>

#include "apps/tallywick/healthStatus.h"
#include "kestrix/time.h"
#include "tests/apps/tallywick/testSupport.h"

namespace Tallywick {
namespace {

using Stats::StatValue;
using Testing::CapturedLog;
using Testing::Database;
using Testing::ReadFile;
using Testing::ScratchDir;
using Testing::Rows;

constexpr uint64_t kSecond = 1000000;

class SqliteStorageEngineTest : public ::testing::Test {
protected:
  // The default time to live keeps every row, whatever the samples' age.
  SqliteStorageEngineRef Open(uint64_t ttlSec = std::numeric_limits<uint64_t>::max(),
                              int busyMs = SqliteStorageEngine::DefaultBusyTimeoutMs) {
    auto engine = Kestrix::MakeRef<SqliteStorageEngine>(db_, ttlSec, log_.Logger(), busyMs);
    engine->Initialize();
    return engine;
  }
  static PersistedStatRef Stat(const std::string& name, uint32_t kind, CollectedStatId id,
                               const std::string& metadata = "meta;") {
    return Kestrix::MakeRef<PersistedStat>(name, name + ".host", kind, metadata, id);
  }
  static void Store(StorageEngine& engine, PersistedStat& stat, uint64_t second, const StatValue& value) {
    stat.SetSample(second * kSecond, value);
    engine.Store(stat);
  }
  Rows Query(const std::string& sql) const { return Database(db_).Rows(sql); }
  static HealthLevel Health(StorageEngine& engine) {
    HealthStatus status;
    engine.CheckHealth(status);
    return status.level;
  }
  // Refusal runs open, which is to throw, and returns what it threw.
  template <typename F>
  static std::string Refusal(F open) {
    try {
      open();
    } catch (const StorageException& e) {
      return e.what();
    }
    return "<no exception>";
  }

  ScratchDir dir_;
  CapturedLog log_{dir_};
  std::string db_ = dir_.File("stats.db");
  PersistedStatRef total_ = Stat("mem.total", ValueKindInteger, 1);
};

TEST_F(SqliteStorageEngineTest, SchemaIsWrittenAsReadersExpectIt) {
  auto engine = Open();
  EXPECT_EQ(Query("PRAGMA journal_mode;"), Rows{"wal"});
  EXPECT_EQ(Query("PRAGMA page_size;"), Rows{"1024"});
  Store(*engine, *Stat("mem.total", ValueKindInteger, 6, "category=x;"), 1700000000, StatValue(8000000));
  Store(*engine, *Stat("cpu.totalfrequency", ValueKindReal, 4, "category=y;"), 1700000000, StatValue(2400));
  // SQLite keeps the creation text minus "IF NOT EXISTS" and the final ";".
  EXPECT_EQ(Query("SELECT sql FROM sqlite_master WHERE type = 'table' ORDER BY name;"),
            (Rows{"CREATE TABLE \"sm_stat_cpu_totalfrequency\" (    sm_timestamp    INTEGER,   sm_stat_value   REAL,"
                  "   CONSTRAINT \"pk_sm_stat_cpu_totalfrequency\" PRIMARY KEY (sm_timestamp))",
                  "CREATE TABLE \"sm_stat_mem_total\" (    sm_timestamp    INTEGER,   sm_stat_value   INTEGER,   "
                  "CONSTRAINT \"pk_sm_stat_mem_total\" PRIMARY KEY (sm_timestamp))",
                  "CREATE TABLE \"sm_stats_metadata\" (   stat_id         VARCHAR(128),   stat_table_name "
                  "VARCHAR(128),   stat_metadata   VARCHAR(512),   CONSTRAINT \"pk_sm_stats_metadata\" PRIMARY "
                  "KEY (stat_id),   CONSTRAINT \"uniq_sm_stats_metadata\" UNIQUE (stat_table_name))"}));
  EXPECT_EQ(Query("SELECT * FROM sm_stats_metadata ORDER BY stat_id;"),
            (Rows{"cpu.totalfrequency|sm_stat_cpu_totalfrequency|category=y;",
                  "mem.total|sm_stat_mem_total|category=x;"}));
}

// A file made with another page size (earlier versions used SQLite's 4 KiB)
// keeps it: the page size of an existing database never changes.
TEST_F(SqliteStorageEngineTest, AnExistingDatabaseKeepsItsPageSize) {
  Database(db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
      .Rows("PRAGMA page_size=4096; PRAGMA journal_mode=wal; CREATE TABLE \"sm_stat_mem_total\" (    sm_timestamp    "
            "INTEGER,   sm_stat_value   INTEGER,   CONSTRAINT \"pk_sm_stat_mem_total\" PRIMARY KEY (sm_timestamp)); "
            "INSERT INTO sm_stat_mem_total VALUES (1699999999, 7);");
  auto engine = Open();
  Store(*engine, *Stat("mem.total", ValueKindInteger, 6), 1700000000, StatValue(8));
  EXPECT_EQ(Query("PRAGMA page_size;"), Rows{"4096"});
  EXPECT_EQ(Query("SELECT * FROM sm_stat_mem_total ORDER BY sm_timestamp;"), (Rows{"1699999999|7", "1700000000|8"}));
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
    ++id;
    // N seconds and 999,999 µs is stored as N.
    stat->SetSample(1700000000 * kSecond + 999999, c.value);
    engine->Store(*stat);
    EXPECT_EQ(Query("SELECT sm_timestamp || '|' || ifnull(sm_stat_value, 'NULL') || '|' || typeof(sm_stat_value) "
                    "FROM " + TableNameFor(stat->GetName()) + ";"),
              Rows{std::string("1700000000|") + c.want})
        << c.value.numerator() << "/" << c.value.denominator() << " kind " << c.kind;
  }
  // A second sample in the same second replaces the first.
  Store(*engine, *Stat("v0", ValueKindInteger, 0), 1700000000, StatValue(5));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_v0;"), Rows{"1700000000|5"});
}

TEST_F(SqliteStorageEngineTest, StoreDeletesRowsStrictlyOlderThanTheTimeToLive) {
  const uint64_t t = 1700000000;
  Kestrix::System::TestClock clock(1, (t - 3601) * kSecond);
  Kestrix::System::ScopedTestClock installed(clock);
  auto engine = Open(3600);
  auto stat = Stat("mem.util", ValueKindInteger, 1);
  for (uint64_t s : {t - 3601, t - 3600, t}) {
    clock.SetUtc(s * kSecond);
    Store(*engine, *stat, s, StatValue(static_cast<int64_t>(s % 100)));
  }
  EXPECT_EQ(Query("SELECT sm_timestamp FROM sm_stat_mem_util ORDER BY 1;"),
            (Rows{std::to_string(t - 3600), std::to_string(t)}));
}

// Series no pass stores any more lose their old rows at the next start.
TEST_F(SqliteStorageEngineTest, StartUpDeletesEverySeriesRowsPastTheTimeToLive) {
  const uint64_t t = 1700000000;
  Kestrix::System::TestClock clock(1, t * kSecond);
  Kestrix::System::ScopedTestClock installed(clock);
  {
    auto engine = Open();
    CollectedStatId id = 1;
    for (const char* name : {"net.rx.activity.gone", "q\"x", "mem.util"}) {
      auto stat = Stat(name, ValueKindInteger, id++);
      for (uint64_t s : {t - 3601, t - 3600, t - 10}) Store(*engine, *stat, s, StatValue(1));
    }
  }
  Database other(db_);
  ASSERT_EQ(other.Exec("DROP TABLE sm_stat_mem_util;"), SQLITE_OK);  // its metadata row stays
  Open(3600);
  const Rows kept{std::to_string(t - 3600), std::to_string(t - 10)};
  EXPECT_EQ(Query("SELECT sm_timestamp FROM sm_stat_net_rx_activity_gone ORDER BY 1;"), kept);
  EXPECT_EQ(Query("SELECT sm_timestamp FROM \"sm_stat_q\"\"x\" ORDER BY 1;"), kept);
  EXPECT_EQ(log_.Lines("info Deleted"), Rows{"info Deleted 2 samples older than 3600 s from 2 series"});
  EXPECT_EQ(log_.Lines("error"), Rows{});

  // A lock held past the busy timeout: the start goes on, the rows stay.
  clock.SetUtc((t + 20) * kSecond);
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE;"), SQLITE_OK);
  EXPECT_NO_THROW(Open(3600, 50));
  EXPECT_EQ(log_.Lines("error Unable to expire"),
            Rows{"error Unable to expire old samples: database is locked"});
  ASSERT_EQ(other.Exec("ROLLBACK;"), SQLITE_OK);
  EXPECT_EQ(Query("SELECT count(*) FROM sm_stat_net_rx_activity_gone;"), Rows{"2"});

  // While running: the service expires every series now and then.
  auto engine = Open(3600);
  clock.SetUtc((t + 3591) * kSecond);
  engine->ExpireAll();
  EXPECT_EQ(Query("SELECT count(*) FROM sm_stat_net_rx_activity_gone;"), Rows{"0"});
  EXPECT_EQ(log_.Lines("info Deleted").size(), 2u) << "one line a start-up, none for the later runs";
}

TEST_F(SqliteStorageEngineTest, OddSeriesNamesAreQuotedNotInjected) {
  auto engine = Open();
  CollectedStatId id = 10;
  for (const char* name : {"net.tx.activity.q\"x", "net.tx.activity.eth0.100", "x\"; DROP TABLE sm_stats_metadata; --",
                           "y'z", ".."}) {
    Store(*engine, *Stat(name, ValueKindReal, id++), 50, StatValue(3, 2));
  }
  EXPECT_EQ(Query("SELECT stat_id || '=>' || stat_table_name FROM sm_stats_metadata ORDER BY stat_table_name;"),
            (Rows{"..=>sm_stat___", "net.tx.activity.eth0.100=>sm_stat_net_tx_activity_eth0_100",
                  "net.tx.activity.q\"x=>sm_stat_net_tx_activity_q\"x",
                  "x\"; DROP TABLE sm_stats_metadata; --=>sm_stat_x\"; DROP TABLE sm_stats_metadata; --",
                  "y'z=>sm_stat_y'z"}));
  EXPECT_EQ(Query("SELECT * FROM \"sm_stat_net_tx_activity_q\"\"x\";"), Rows{"50|1.5"});
  EXPECT_EQ(Query("SELECT * FROM \"sm_stat_y'z\";"), Rows{"50|1.5"});
}

TEST_F(SqliteStorageEngineTest, RestartKeepsTablesAndRefreshesMetadataAndASeriesKeepsItsTable) {
  auto first = Stat("net.rx.activity.eth0.100", ValueKindReal, 1, "old;");
  Store(*Open(), *first, 10, StatValue(1));
  auto engine = Open();
  auto refreshed = Stat("net.rx.activity.eth0.100", ValueKindReal, 3, "new;");
  Store(*engine, *refreshed, 20, StatValue(2));
  // Dot and underscore give the same table name, and SQLite's table names
  // ignore case: such series are stored in a table of their own, which
  // their metadata row names.
  auto underscore = Stat("net.rx.activity.eth0_100", ValueKindReal, 2, "other;");
  Store(*engine, *underscore, 30, StatValue(9));
  auto upper = Stat("net.rx.activity.ETH0.100", ValueKindReal, 4, "upper;");
  Store(*engine, *upper, 30, StatValue(8));
  Store(*engine, *refreshed, 40, StatValue(4));  // the owner goes on storing
  EXPECT_EQ(log_.Count("warning Storing net.rx.activity.eth0_100 in table sm_stat_net_rx_activity_eth0_100_2: its "
                       "usual table sm_stat_net_rx_activity_eth0_100 belongs to net.rx.activity.eth0.100"),
            1u);
  EXPECT_EQ(log_.Count("warning Storing net.rx.activity.ETH0.100 in table sm_stat_net_rx_activity_ETH0_100_3: its "
                       "usual table sm_stat_net_rx_activity_ETH0_100 belongs to net.rx.activity.eth0.100"),
            1u);
  EXPECT_EQ(Query("SELECT * FROM sm_stats_metadata ORDER BY 3;"),
            (Rows{"net.rx.activity.eth0.100|sm_stat_net_rx_activity_eth0_100|new;",
                  "net.rx.activity.eth0_100|sm_stat_net_rx_activity_eth0_100_2|other;",
                  "net.rx.activity.ETH0.100|sm_stat_net_rx_activity_ETH0_100_3|upper;"}));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_net_rx_activity_eth0_100 ORDER BY 1;"), (Rows{"10|1.0", "20|2.0", "40|4.0"}));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_net_rx_activity_eth0_100_2;"), Rows{"30|9.0"});
  EXPECT_EQ(Query("SELECT * FROM sm_stat_net_rx_activity_ETH0_100_3;"), Rows{"30|8.0"});

  // After a restart each keeps its table, whichever comes first.
  auto again = Open();
  Store(*again, *upper, 50, StatValue(7));
  Store(*again, *underscore, 50, StatValue(6));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_net_rx_activity_ETH0_100_3 ORDER BY 1;"), (Rows{"30|8.0", "50|7.0"}));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_net_rx_activity_eth0_100_2 ORDER BY 1;"), (Rows{"30|9.0", "50|6.0"}));
  EXPECT_EQ(log_.CountPrefix("warning Storing"), 2u);
}

// A table dropped by another connection, in or out of a transaction: one
// store fails, the next creates table and metadata row again.
TEST_F(SqliteStorageEngineTest, ASeriesWhoseTableWasDroppedIsCreatedAgain) {
  auto engine = Open();
  auto util = Stat("cpu.util", ValueKindReal, 3, "u;");
  auto total = Stat("mem.total", ValueKindInteger, 6, "t;");
  Store(*engine, *util, 10, StatValue(1));
  Store(*engine, *total, 10, StatValue(2));
  Database other(db_);
  ASSERT_EQ(other.Exec("DROP TABLE sm_stat_cpu_util; DELETE FROM sm_stats_metadata WHERE stat_id = 'cpu.util';"),
            SQLITE_OK);
  {
    StorageTransaction transaction(*engine);
    EXPECT_THROW(Store(*engine, *util, 20, StatValue(3)), StorageException);
    Store(*engine, *total, 20, StatValue(4));
    transaction.Commit();
  }
  Store(*engine, *util, 30, StatValue(5));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_cpu_util;"), Rows{"30|5.0"});
  ASSERT_EQ(other.Exec("DROP TABLE sm_stat_mem_total;"), SQLITE_OK);
  EXPECT_THROW(Store(*engine, *total, 40, StatValue(6)), StorageException);
  Store(*engine, *total, 50, StatValue(7));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_mem_total;"), Rows{"50|7"});
  EXPECT_EQ(Query("SELECT stat_id, stat_metadata FROM sm_stats_metadata ORDER BY 1;"),
            (Rows{"cpu.util|u;", "mem.total|t;"}));
}

// Three threads share the engine, one of them without transactions. (The
// fault runs delete the file under a service whose collections store at once.)
// The main loop expires every series meanwhile.
TEST_F(SqliteStorageEngineTest, ThreadsStoreAtOnce) {
  Kestrix::System::TestClock clock(1, 100 * kSecond);
  Kestrix::System::ScopedTestClock installed(clock);
  auto engine = Open(1000);
  constexpr int kPasses = 30;
  std::atomic<bool> storing{true};
  std::thread expiring([&] {
    while (storing) {
      engine->ExpireAll();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // leaves the lock to the writers
    }
  });
  TestSupport::RunThreads(3, [&](int t) {
    std::vector<PersistedStatRef> stats;
    for (int i = 0; i < 3; ++i) stats.push_back(Stat(char('a' + t) + std::to_string(i), ValueKindReal, t * 3 + i));
    for (int pass = 1; pass <= kPasses; ++pass) {
      std::optional<StorageTransaction> transaction;
      if (t != 1) transaction.emplace(*engine);
      for (auto& s : stats) Store(*engine, *s, pass, StatValue(pass));
      if (transaction) transaction->Commit();
    }
  });
  storing = false;
  expiring.join();
  EXPECT_EQ(Query("SELECT count(*) FROM sm_stats_metadata;"), Rows{"9"});
  for (const char* table : {"sm_stat_a0", "sm_stat_b1", "sm_stat_c2"}) {
    EXPECT_EQ(Query(std::string("SELECT count(*), sum(sm_stat_value) FROM ") + table + ";"),
              Rows{std::to_string(kPasses) + "|" + std::to_string(kPasses * (kPasses + 1) / 2) + ".0"})
        << table;
  }
  EXPECT_EQ(log_.CountPrefix("error "), 0u) << log_.Text();
}

TEST_F(SqliteStorageEngineTest, UnopenableLocatorRaisesWithSqlitesMessage) {
  const std::string locator = dir_.File("missing-dir/x.db");
  EXPECT_EQ(Refusal([&] { CreateStorageEngine("sqlite", locator, 60, log_.Logger()); }),
            "unable to open database file");
  EXPECT_EQ(log_.Count("error SQLite database open failed for " + locator), 1u);
}

// A file that stops the start says what the operator can do about it.
TEST_F(SqliteStorageEngineTest, ADamagedFileOrOneThatIsNoDatabaseIsNamedWithWhatToDo) {
  std::ofstream(db_, std::ios::binary) << std::string(4096, 'x');
  EXPECT_EQ(Refusal([&] { Open(); }),
            "file is not a database (" + db_ + " is not an SQLite database: name another file, or move this one away)");
  std::filesystem::remove(db_);
  Store(*Open(), *total_, 10, StatValue(1));  // the last connection's close checkpoints the log
  // The schema's page: every statement of a new connection reads it first.
  std::fstream(db_, std::ios::in | std::ios::out | std::ios::binary).seekp(100) << std::string(200, '\xff');
  EXPECT_EQ(Refusal([&] { Open(); }), "database disk image is malformed (" + db_ +
                                          " is damaged: stop the service, move the file and its -wal away, and start "
                                          "it again, which creates a new file; sqlite3's .dump command writes out "
                                          "what can still be read of the old one)");
}

// NoSharedMemoryVfs is, while it lives, the default VFS: the platform's,
// except that its files cannot map the write-ahead log's shared memory, as on
// a FUSE file system without shared mappings.
class NoSharedMemoryVfs {
public:
  NoSharedMemoryVfs() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.zName = "tallywick-test-no-shm";
    vfs_.pAppData = real_;
    vfs_.xOpen = &Open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~NoSharedMemoryVfs() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
  }

private:
  static int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    sqlite3_vfs* real = static_cast<sqlite3_vfs*>(vfs->pAppData);
    const int rc = real->xOpen(real, name, file, flags, outFlags);
    if (rc != SQLITE_OK || file->pMethods == nullptr || file->pMethods->iVersion < 2) return rc;
    // One copy per kind of file: the real methods work on the file as before.
    static std::map<const sqlite3_io_methods*, sqlite3_io_methods> copies;
    auto copy = copies.emplace(file->pMethods, *file->pMethods).first;
    copy->second.xShmMap = [](sqlite3_file*, int, int, int, void volatile**) { return SQLITE_IOERR_SHMMAP; };
    file->pMethods = &copy->second;
    return rc;
  }

  sqlite3_vfs* const real_;
  sqlite3_vfs vfs_;
};

// SQLite's own text for it is a bare "disk I/O error".
TEST_F(SqliteStorageEngineTest, AFileSystemWithoutSharedMemoryIsNamedAsTheCause) {
  const NoSharedMemoryVfs vfs;
  EXPECT_EQ(Refusal([&] { CreateStorageEngine("sqlite", db_, 60, log_.Logger()); }),
            "disk I/O error (the file system does not support the shared memory of the write-ahead log, the -shm "
            "file beside the database; put the database on a local file system)");
}

// A missing file is covered where the health file is written.
TEST_F(SqliteStorageEngineTest, HealthCheckIsRedForCorruptedPages) {
  // 4 KiB pages, so that the bytes overwritten below are cell pointers only:
  // quick_check then reports them as rows. Damage that reaches cell contents
  // can make it fail outright, depending on leftover bytes in the page.
  Database(db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).Rows("PRAGMA page_size=4096; CREATE TABLE sm_stat_pad (x);");
  {
    auto engine = Open();
    auto stat = Stat("mem.util", ValueKindInteger, 1);
    StorageTransaction transaction(*engine);
    for (uint64_t s = 1; s <= 20000; ++s) Store(*engine, *stat, s, StatValue(static_cast<int64_t>(s)));
    transaction.Commit();
  }  // the last connection's close moves the log into the database file
  const auto size = std::filesystem::file_size(db_);
  ASSERT_GT(size, 8 * 4096u);
  // Overwrite the cell pointers of a page in the middle of the series table.
  std::fstream(db_, std::ios::in | std::ios::out | std::ios::binary).seekp(static_cast<std::streamoff>(
      (size / 4096 / 2) * 4096 + 100)) << std::string(200, '\xff');
  HealthStatus status;
  Open()->CheckHealth(status);  // opening does not examine quick_check's answer
  EXPECT_EQ(status.level, HealthLevel::Red);
  EXPECT_EQ(status.messages, std::string("<message messageKey=\"") + DbIntegrityMessageKey + "\" defaultMessage=\"" +
                                 DbIntegrityMessageText + "\"></message>");
  EXPECT_EQ(log_.CountPrefix("error SQLite database health check failed due to: *** in database main ***"), 1u)
      << log_.Text();
}

// The integrity checks at start-up and in the health check read every page;
// on a database of many megabytes they must not leave them all in memory.
TEST_F(SqliteStorageEngineTest, IntegrityChecksOfALargeDatabaseKeepMemorySmall) {
  Database(db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
      .Rows("CREATE TABLE sm_stat_big (sm_timestamp INTEGER, sm_stat_value INTEGER, CONSTRAINT pk_sm_stat_big "
            "PRIMARY KEY (sm_timestamp)); WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < "
            "500000) INSERT INTO sm_stat_big SELECT x, x * 1000003 FROM c;");
  ASSERT_GT(std::filesystem::file_size(db_), 6u << 20);
  const auto base = sqlite3_memory_used();
  sqlite3_memory_highwater(1);
  auto engine = Open();
  EXPECT_EQ(Health(*engine), HealthLevel::Green) << log_.Text();
  // Unbounded, each check would hold SQLite's default cache of 2 MB.
  EXPECT_LT(sqlite3_memory_highwater(0) - base, 1 << 20);
  EXPECT_LT(sqlite3_memory_used() - base, 512 << 10);
  // The engine's own cache is back at its usual size for the passes.
  Store(*engine, *total_, 1700000000, StatValue(5));
  EXPECT_EQ(Query("SELECT sm_stat_value FROM sm_stat_mem_total;"), Rows{"5"});
}

// Recovery: the engine keeps one connection; a replaced file makes it reopen.
// Consecutive failed writes are covered by the collection's lock case, a
// deleted file and a failed reopen by the fault runs (tests/faults).
TEST_F(SqliteStorageEngineTest, ReopensWhenTheFileIsReplaced) {
  auto engine = Open();
  Store(*engine, *total_, 10, StatValue(1));
  // An empty database of the service's own, as a restore would put there.
  Database(db_ + ".other", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
      .Exec("CREATE TABLE sm_stats_metadata (stat_id, stat_table_name, stat_metadata);");
  std::filesystem::rename(db_ + ".other", db_);
  {
    StorageTransaction transaction(*engine);
    Store(*engine, *total_, 11, StatValue(2));  // the cached statements would write into the old file
    transaction.Commit();
  }
  EXPECT_EQ(engine->GetReopenCount(), 1u);
  EXPECT_EQ(log_.CountPrefix("warning Reopening database " + db_ + ": the file was replaced"), 1u);
  EXPECT_EQ(Query("SELECT * FROM sm_stat_mem_total;"), Rows{"11|2"});
  EXPECT_EQ(Query("SELECT stat_id FROM sm_stats_metadata;"), Rows{"mem.total"});
  EXPECT_EQ(Health(*engine), HealthLevel::Green);
}

// Another application's database named by mistake is neither switched to a
// write-ahead log nor given the service's tables: not at start, nor when it
// replaces the open file.
TEST_F(SqliteStorageEngineTest, AnotherApplicationsDatabaseIsRefusedAndLeftAsItIs) {
  const std::string other = dir_.File("app.db");
  Database(other, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
      .Exec("CREATE TABLE accounts (id INTEGER PRIMARY KEY, name TEXT); INSERT INTO accounts VALUES (1, 'a');");
  const std::string original = ReadFile(other);
  const std::string refusal = "database " + db_ +
                              " belongs to another application (it holds table accounts and no table "
                              "sm_stats_metadata): tallywick stores only into a database of its own";
  std::filesystem::copy_file(other, db_);
  EXPECT_EQ(Refusal([&] { Open(); }), refusal);
  EXPECT_EQ(ReadFile(db_), original);
  EXPECT_FALSE(std::filesystem::exists(db_ + "-wal"));

  std::filesystem::remove(db_);
  auto engine = Open();
  Store(*engine, *total_, 10, StatValue(1));
  std::filesystem::copy_file(other, db_ + ".other");
  std::filesystem::rename(db_ + ".other", db_);
  for (uint64_t second : {11, 12, 13}) EXPECT_THROW(Store(*engine, *total_, second, StatValue(2)), StorageException);
  EXPECT_EQ(ReadFile(db_), original);
  // Once at start and once for the reopen: the writes that try again throw
  // without a line of the engine's, as their callers log each failure.
  EXPECT_EQ(log_.Count("error SQLite database open failed for " + db_), 2u);
  EXPECT_EQ(log_.CountPrefix("warning Reopening database " + db_), 1u);

  std::filesystem::remove(db_);
  Store(*engine, *total_, 14, StatValue(3));
  EXPECT_EQ(Query("SELECT * FROM sm_stat_mem_total;"), Rows{"14|3"});
}

// Tables of the service's names made by something else: storing into them
// would fail every pass, or keep samples as text, unseen.
TEST_F(SqliteStorageEngineTest, TablesOfOtherSchemasAreRefused) {
  Database(db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
      .Exec("CREATE TABLE sm_stats_metadata (stat_id TEXT PRIMARY KEY, stat_table_name TEXT UNIQUE);");
  EXPECT_EQ(Refusal([&] { Open(); }), "table sm_stats_metadata has no column stat_metadata");
  std::filesystem::remove(db_);
  Database(db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
      .Exec("CREATE TABLE sm_stat_cpu_util (sm_timestamp INTEGER PRIMARY KEY, sm_stat_value TEXT);");
  auto engine = Open();
  auto util = Stat("cpu.util", ValueKindReal, 1);
  auto total = Stat("mem.total", ValueKindInteger, 2);
  for (uint64_t second : {10, 11}) {
    EXPECT_THROW(Store(*engine, *util, second, StatValue(3, 2)), StorageException);
    Store(*engine, *total, second, StatValue(7));
  }
  EXPECT_EQ(log_.CountPrefix("error Refusing to store cpu.util: its table sm_stat_cpu_util has no numeric column "
                             "sm_stat_value"),
            1u);
  EXPECT_EQ(Query("SELECT count(*) FROM sm_stat_cpu_util;"), Rows{"0"});
  EXPECT_EQ(Query("SELECT stat_id FROM sm_stats_metadata;"), Rows{"mem.total"});
  EXPECT_EQ(Query("SELECT count(*) FROM sm_stat_mem_total;"), Rows{"2"});
}

// The listener hears of the database becoming unusable and usable again,
// once each, however many passes fail in between.
TEST_F(SqliteStorageEngineTest, AvailabilityListenerHearsOfEachChangeOnce) {
  auto engine = Open();
  int calls = 0;
  engine->SetAvailabilityListener([&] { ++calls; });
  Store(*engine, *total_, 10, StatValue(1));
  std::ofstream(db_ + ".other") << std::string(4096, 'x');
  std::filesystem::rename(db_ + ".other", db_);
  EXPECT_THROW(Store(*engine, *total_, 11, StatValue(2)), StorageException);
  EXPECT_THROW(Store(*engine, *total_, 12, StatValue(3)), StorageException);
  EXPECT_EQ(calls, 1);
  std::filesystem::remove(db_);
  Store(*engine, *total_, 13, StatValue(4));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(Query("SELECT * FROM sm_stat_mem_total;"), Rows{"13|4"});
}

// Samples committed since the last checkpoint live only in the write-ahead
// log; with the log deleted from the directory, readers and the file alone
// lose them unless the engine checkpoints through its open descriptor. SQLite
// keeps the log of a locator that is a symbolic link beside the file it names.
TEST_F(SqliteStorageEngineTest, AWriteAheadLogDeletedWhileOpenIsCheckpointedBeforeTheReopen) {
  const std::string link = dir_.File("link.db"), linked = dir_.File("linked.db");
  std::filesystem::create_symlink(linked, link);
  for (const auto& [locator, file] : {std::pair{db_, db_}, std::pair{link, linked}}) {
    auto engine = Kestrix::MakeRef<SqliteStorageEngine>(locator, std::numeric_limits<uint64_t>::max(), log_.Logger());
    engine->Initialize();
    Store(*engine, *total_, 10, StatValue(1));
    Store(*engine, *total_, 11, StatValue(2));
    ASSERT_TRUE(std::filesystem::remove(file + "-wal")) << locator;
    Store(*engine, *total_, 12, StatValue(3));
    EXPECT_EQ(engine->GetReopenCount(), 1u);
    EXPECT_EQ(log_.CountPrefix("warning Reopening database " + locator + ": the write-ahead log is gone"), 1u);
    EXPECT_EQ(Database(file).Rows("SELECT * FROM sm_stat_mem_total;"), (Rows{"10|1", "11|2", "12|3"}));
  }
}

// A file emptied in place keeps its inode; quick_check finds an empty file
// sound, and a connection opening it deletes the log next to it.
TEST_F(SqliteStorageEngineTest, AFileTruncatedWhileOpenIsRedAndSetUpAgain) {
  auto engine = Open();
  Store(*engine, *total_, 10, StatValue(1));
  ASSERT_EQ(Database(db_).Exec("PRAGMA wal_checkpoint(TRUNCATE);"), SQLITE_OK);  // the pages into the file
  Store(*engine, *total_, 11, StatValue(2));                                       // and one frame in the log
  std::filesystem::resize_file(db_, 0);
  EXPECT_EQ(Health(*engine), HealthLevel::Red);
  EXPECT_EQ(log_.Count("error SQLite database health check failed due to: the file was truncated to 0 bytes"), 1u);
  EXPECT_TRUE(std::filesystem::exists(db_ + "-wal"));
  Store(*engine, *total_, 12, StatValue(3));
  EXPECT_EQ(log_.Count("error Database " + db_ + " was truncated to 0 bytes while open: the samples stored in it "
                       "are lost"),
            1u);
  EXPECT_EQ(log_.Count("warning Reopening database " + db_ + ": the file was truncated"), 1u);
  EXPECT_EQ(Query("SELECT * FROM sm_stat_mem_total;"), Rows{"12|3"});
  EXPECT_EQ(Query("SELECT stat_id FROM sm_stats_metadata;"), Rows{"mem.total"});
  EXPECT_EQ(Query("PRAGMA integrity_check;"), Rows{"ok"});
  EXPECT_EQ(Health(*engine), HealthLevel::Green) << log_.Text();
}

// A reader of the appliance that leaves a read transaction open (a cursor
// never read to its end) stops checkpoints, and the log grows with every pass
// for as long as it stays open. SQLite keeps the file at its largest size
// afterwards unless a limit is set.
TEST_F(SqliteStorageEngineTest, ALogGrownBehindAnOpenReaderIsReportedAndShrinksOnceItEnds) {
  auto engine = Open();
  Store(*engine, *total_, 10, StatValue(1));
  Database reader(db_);
  ASSERT_EQ(reader.Exec("BEGIN; SELECT count(*) FROM sm_stat_mem_total;"), SQLITE_OK);
  // One large transaction of another writer stands in for hours of passes.
  const std::uintmax_t usual = 32 + 1000 * (1024 + 24);
  {
    Database writer(db_);
    ASSERT_EQ(writer.Exec("CREATE TABLE scratch(b BLOB); INSERT INTO scratch VALUES (zeroblob(20000000));"),
              SQLITE_OK);
  }
  ASSERT_GT(std::filesystem::file_size(db_ + "-wal"), 16 * usual);
  Store(*engine, *total_, 11, StatValue(2));
  Store(*engine, *total_, 12, StatValue(3));
  const std::string grown = "warning Write-ahead log " + db_ + "-wal has grown to ";
  EXPECT_EQ(log_.CountPrefix(grown), 1u) << log_.Text();
  EXPECT_TRUE(log_.Text().find("another connection keeps a read transaction open") != std::string::npos);

  ASSERT_EQ(reader.Exec("COMMIT;"), SQLITE_OK);
  for (uint64_t second = 13; second < 16; ++second) Store(*engine, *total_, second, StatValue(second));
  EXPECT_LE(std::filesystem::file_size(db_ + "-wal"), 2 * usual);
  EXPECT_EQ(log_.CountPrefix("info Write-ahead log " + db_ + "-wal is checkpointed again"), 1u) << log_.Text();
  EXPECT_EQ(log_.CountPrefix(grown), 1u);
  EXPECT_EQ(Query("SELECT count(*) FROM sm_stat_mem_total;"), Rows{"6"});
  EXPECT_EQ(Query("PRAGMA integrity_check;"), Rows{"ok"});
}

TEST_F(SqliteStorageEngineTest, CloseLeavesEverySampleInTheFileAlone) {
  auto engine = Open();
  Store(*engine, *total_, 10, StatValue(1));
  Store(*engine, *total_, 11, StatValue(2));
  engine->Close();
  EXPECT_EQ(log_.CountPrefix("info Closed database " + db_), 1u);
  // A copy of the file without its log, as a backup of the file would be.
  std::filesystem::copy_file(db_, db_ + ".copy");
  EXPECT_EQ(Database(db_ + ".copy").Rows("SELECT * FROM sm_stat_mem_total;"), (Rows{"10|1", "11|2"}));
  EXPECT_EQ(Database(db_ + ".copy").Rows("PRAGMA integrity_check;"), Rows{"ok"});
  // A write after the close opens the connection again.
  Store(*engine, *total_, 12, StatValue(3));
  EXPECT_EQ(Query("SELECT count(*) FROM sm_stat_mem_total;"), Rows{"3"});
}

}  // namespace
}  // namespace Tallywick
