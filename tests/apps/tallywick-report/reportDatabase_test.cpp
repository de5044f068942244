#include "apps/tallywick-report/reportDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/kestrix/testSupport.h"

namespace {

using namespace Tallywick::Report;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A database in the service's layout, in write-ahead-log mode, closed as the
// service's clean stop leaves it: the file alone, without -wal or -shm.
class ClosedWalDatabaseTest : public ::testing::Test {
protected:
  void SetUp() override {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA journal_mode=WAL;"
                           "CREATE TABLE sm_stats_metadata (stat_id, stat_table_name, stat_metadata);"
                           "INSERT INTO sm_stats_metadata VALUES ('cpu.util', 'sm_stat_cpu_util', 'units=percent;');"
                           "CREATE TABLE sm_stat_cpu_util (sm_timestamp INTEGER PRIMARY KEY, sm_stat_value REAL);"
                           "INSERT INTO sm_stat_cpu_util VALUES (100, 1.5), (101, 2.5);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ASSERT_FALSE(Exists(path_ + "-wal"));
  }
  // ExpectSeries lists the database at path: cpu.util alone, with rows up to last.
  static void ExpectSeries(const std::string& path, int64_t rows, int64_t last) {
    const std::vector<SeriesInfo> series = Database(path).ListSeries();
    ASSERT_EQ(series.size(), 1u);
    EXPECT_EQ(series[0].rows, rows);
    EXPECT_EQ(series[0].last, last);
  }
  TestSupport::TempDir dir_;
  const std::string path_ = dir_.File("a?b%20.db");  // a '?' and a '%', which a URI must encode
};

TEST_F(ClosedWalDatabaseTest, IsReadWithoutLeavingALogOrSharedMemoryBehind) {
  ExpectSeries(path_, 2, 101);
  EXPECT_FALSE(Exists(path_ + "-wal"));
  EXPECT_FALSE(Exists(path_ + "-shm"));
}

// While the service runs, the samples since the last checkpoint are in its
// -wal, which SQLite keeps beside the file that a linked path names.
TEST_F(ClosedWalDatabaseTest, ALinkToADatabaseInUseIsReadWithItsLog) {
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "INSERT INTO sm_stat_cpu_util VALUES (102, 3.5);", nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_TRUE(Exists(path_ + "-wal"));
  const std::string link = dir_.File("link.db");
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  ExpectSeries(link, 3, 102);
  sqlite3_close(writer);
}

TEST(DatabaseOpenTest, AFailedOpenSaysWhy) {
  const std::pair<std::string, std::string> cases[] = {
      {"/tmp/tw_report_no_such_dir/tw.db", "No such file or directory"},
      {"/tmp", "Is a directory"},
  };
  for (const auto& [path, why] : cases) {
    try {
      Database db(path);
      ADD_FAILURE() << path << " opened";
    } catch (const ReportException& e) {
      EXPECT_NE(std::string(e.what()).find("(" + why + ")"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
