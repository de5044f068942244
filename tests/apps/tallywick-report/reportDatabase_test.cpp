#include "apps/tallywick-report/reportDatabase.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "testDb.h"

namespace {

using namespace Tallywick::Report;
using TestSupport::TestDb;

std::string Values(Database& db, const std::string& table, TimeRange range = {}) {
  std::string out;
  db.ForEachSample(table, range, [&](const Sample& s) {
    out += std::to_string(s.timestamp) + "=";
    switch (s.value.kind) {
      case SampleValue::Kind::Null: out += "null"; break;
      case SampleValue::Kind::Integer: out += "i" + std::to_string(s.value.integer); break;
      case SampleValue::Kind::Real: out += "r" + std::to_string(s.value.real); break;
    }
    out += " ";
  });
  return out;
}

TEST(DatabaseTest, ListsSeriesWithTheirTablesTimesAndCounts) {
  TestDb t;
  t.AddSeries("mem.total", "memory", "kb", 0);
  t.AddSeries("net.tx.activity.eth0.100", "network", "kb_per_sec", 1, "eth0.100");
  t.AddSeries("cpu.util", "cpu", "percent", 1);
  t.AddSeries("storage.used.filesystem.root", "storage", "kb", 0, "/", false);  // metadata write failed
  t.Exec("DROP TABLE sm_stat_cpu_util;");                                       // metadata without table
  t.AddInteger("mem.total", 1000, 16303248);
  t.AddInteger("mem.total", 1060, 16303248);
  t.AddInteger("mem.total", 1120, 16303248);
  t.AddReal("net.tx.activity.eth0.100", 1030, 2.5);
  t.AddInteger("storage.used.filesystem.root", 900, 7);

  Database db(t.Path());
  const std::vector<SeriesInfo> list = db.ListSeries();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].name, "cpu.util");
  EXPECT_FALSE(list[0].hasTable);
  EXPECT_EQ(list[0].metadata.unit, "percent");
  EXPECT_EQ(list[1].name, "mem.total");
  EXPECT_EQ(list[1].table, "sm_stat_mem_total");
  EXPECT_EQ(list[1].rows, 3);
  EXPECT_EQ(list[1].first, 1000);
  EXPECT_EQ(list[1].last, 1120);
  EXPECT_EQ(list[2].name, "net.tx.activity.eth0.100");
  EXPECT_EQ(list[2].table, "sm_stat_net_tx_activity_eth0_100");
  EXPECT_EQ(list[2].metadata.instance, "eth0.100");
  EXPECT_EQ(list[2].rows, 1);
  EXPECT_EQ(list[3].name, "sm_stat_storage_used_filesystem_root");
  EXPECT_FALSE(list[3].hasMetadata);
  EXPECT_EQ(list[3].rows, 1);
}

TEST(DatabaseTest, ReadsBothValueKindsAndNullInTimeOrderWithinTheRange) {
  TestDb t;
  t.AddSeries("mem.util", "memory", "kb", 0);
  t.AddSeries("cpu.util", "cpu", "percent", 1);
  for (int64_t ts : {1300, 1000, 1200, 1100}) t.AddInteger("mem.util", ts, ts / 100 - 20);
  t.AddReal("cpu.util", 1000, 50.0);
  t.AddNull("cpu.util", 1060);
  t.AddReal("cpu.util", 1120, 3.5);
  Database db(t.Path());
  EXPECT_EQ(Values(db, "sm_stat_mem_util"), "1000=i-10 1100=i-9 1200=i-8 1300=i-7 ");
  EXPECT_EQ(Values(db, "sm_stat_mem_util", {1100, 1200}), "1100=i-9 1200=i-8 ");
  EXPECT_EQ(Values(db, "sm_stat_mem_util", {1201, std::nullopt}), "1300=i-7 ");
  EXPECT_EQ(Values(db, "sm_stat_cpu_util"), "1000=r50.000000 1060=null 1120=r3.500000 ");
  EXPECT_EQ(db.TypicalInterval("sm_stat_mem_util", {}), 100);
  EXPECT_EQ(db.TypicalInterval("sm_stat_mem_util", {1300, std::nullopt}), std::nullopt);
}

TEST(DatabaseTest, FindsSeriesByNameOrTable) {
  TestDb t;
  t.AddSeries("cpu.util", "cpu", "percent", 1);
  t.AddReal("cpu.util", 500, 1.0);
  Database db(t.Path());
  for (const char* name : {"cpu.util", "sm_stat_cpu_util"}) {
    const auto s = db.FindSeries(name);
    ASSERT_TRUE(s) << name;
    EXPECT_EQ(s->name, "cpu.util") << name;
    EXPECT_TRUE(s->hasTable) << name;
    EXPECT_EQ(s->first, 500) << name;
  }
  EXPECT_FALSE(db.FindSeries("cpu.utl"));
  EXPECT_FALSE(db.FindSeries("sm_stats_metadata"));
  EXPECT_FALSE(db.FindSeries("x\" OR 1=1 --"));
}

TEST(DatabaseTest, HostileContentFailsWithTheTableNamed) {
  TestDb t;
  t.AddSeries("cpu.util", "cpu", "percent", 1);
  t.AddReal("cpu.util", 1, 1.0);
  t.AddText("cpu.util", 2, "lots");
  Database db(t.Path());
  try {
    Values(db, "sm_stat_cpu_util");
    FAIL() << "text value accepted";
  } catch (const ReportException& e) {
    EXPECT_NE(std::string(e.what()).find("sm_stat_cpu_util holds a non-numeric value 'lots' at sm_timestamp 2"),
              std::string::npos)
        << e.what();
  }
  EXPECT_THROW(Values(db, "sm_stat_missing"), ReportException);
  // A quote in a table name is quoted, not executed.
  t.Exec("CREATE TABLE \"sm_stat_a\"\"b\" (sm_timestamp INTEGER PRIMARY KEY, sm_stat_value);");
  t.Exec("INSERT INTO \"sm_stat_a\"\"b\" VALUES (5, 6);");
  EXPECT_EQ(Values(db, "sm_stat_a\"b"), "5=i6 ");
  EXPECT_EQ(QuoteIdentifier("a\"b"), "\"a\"\"b\"");
}

TEST(DatabaseTest, OpensReadOnlyAndRefusesWhatIsNotADatabaseOfOurs) {
  TestDb t;
  const std::string missing = t.Dir() + "/missing.db";
  EXPECT_THROW(Database{missing}, ReportException);
  struct stat st;
  EXPECT_NE(stat(missing.c_str(), &st), 0) << "a read-only open must not create the file";

  const std::string text = t.Dir() + "/notes.db";
  std::ofstream(text) << "not a database at all, just some text that is long enough to look like a header";
  EXPECT_THROW(Database{text}, ReportException);

  const std::string other = t.Dir() + "/other.db";
  sqlite3* raw = nullptr;  // a valid SQLite file without our table
  sqlite3_open(other.c_str(), &raw);
  sqlite3_exec(raw, "CREATE TABLE t(x);", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  try {
    Database db(other);
    FAIL() << "opened a database without sm_stats_metadata";
  } catch (const ReportException& e) {
    EXPECT_NE(std::string(e.what()).find("not a tallywick database"), std::string::npos) << e.what();
  }
}

}  // namespace
