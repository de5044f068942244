#include "apps/tallywick/healthStatus.h"

#include <errno.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "apps/tallywick/sqliteStorageEngineImpl.h"
#include "kestrix/time.h"
#include "tests/apps/tallywick/testSupport.h"

namespace Tallywick {
namespace {

using Testing::CapturedLog;
using Testing::ReadFile;
using Testing::ScratchDir;

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><healthStatus "
                          "schemaVersion=\"1.0\" xmlns=\"https://schemas.norvex.com/dop/cm/common/jaxb/healthstatus\">";
const std::string kHealthy = "<message messageKey=\"com.norvex.fenmark.mon.health.healthy\" "
                             "defaultMessage=\"Appliance monitoring service is healthy.\"></message>";
const std::string kIntegrity = "<message messageKey=\"com.norvex.fenmark.mon.health.db_integrity_check_failed\" "
                               "defaultMessage=\"Appliance monitoring statistics database integrity check "
                               "failed.\"></message>";

TEST(HealthStatusTest, MessagesAppendAndTheLevelOnlyFalls) {
  const struct {
    std::vector<HealthLevel> added;
    HealthLevel want;
  } cases[] = {
      {{}, HealthLevel::Green},
      {{HealthLevel::Green}, HealthLevel::Green},
      {{HealthLevel::Yellow}, HealthLevel::Yellow},
      {{HealthLevel::Red, HealthLevel::Green}, HealthLevel::Red},
      {{HealthLevel::Yellow, HealthLevel::Red, HealthLevel::Yellow}, HealthLevel::Red},
  };
  for (const auto& c : cases) {
    HealthStatus status;
    std::string want;
    int n = 0;
    for (HealthLevel level : c.added) {
      const std::string key = "k" + std::to_string(n++);
      AddHealthMessage(status, level, key, "text <&> %1");
      want += "<message messageKey=\"" + key + "\" defaultMessage=\"text <&> %1\"></message>";
    }
    EXPECT_EQ(status.level, c.want) << c.added.size() << " messages";
    EXPECT_EQ(status.messages, want);
  }
}

class HealthFileTest : public ::testing::Test {
protected:
  ScratchDir dir_;
  CapturedLog log_{dir_};
  std::string db_ = dir_.File("stats.db");
  std::string path_ = dir_.File("health.xml");
  std::string tmp_ = path_ + ".tmp";
};

// The content is one line with the expiry ten minutes ahead, in whole seconds.
TEST_F(HealthFileTest, SoundDatabaseWritesGreenWithTheHealthyMessageAndAMissingOneRedWithout) {
  Kestrix::System::TestClock clock(1000999999, 1700000000000000);  // 1000.999999 s counts as 1000
  Kestrix::System::ScopedTestClock installed(clock);
  SqliteStorageEngine engine(db_, 60, log_.Logger());
  engine.Initialize();
  ASSERT_TRUE(WriteHealthStatusFile(engine, path_, tmp_, log_.Logger()));
  EXPECT_EQ(ReadFile(path_),
            kHead + "<status>GREEN</status>" + kHealthy + "<expirationMonoSec>1600</expirationMonoSec></healthStatus>");
  EXPECT_FALSE(std::filesystem::exists(tmp_));
  engine.ExecuteSql("PRAGMA wal_checkpoint(TRUNCATE);");
  std::filesystem::remove(db_);
  clock.Advance(5000000);
  ASSERT_TRUE(WriteHealthStatusFile(engine, path_, tmp_, log_.Logger()));
  EXPECT_EQ(ReadFile(path_),
            kHead + "<status>RED</status>" + kIntegrity + "<expirationMonoSec>1605</expirationMonoSec></healthStatus>");
}

TEST_F(HealthFileTest, ReplacesTheFileWholeOrLeavesItAlone) {
  std::ofstream(path_) << "previous";
  EXPECT_TRUE(ReplaceFileContent(path_, tmp_, "new", log_.Logger()));
  EXPECT_EQ(ReadFile(path_), "new");
  EXPECT_TRUE(log_.Lines().empty());
  const std::string unwritable = dir_.File("no-such-dir/health.xml.tmp");
  EXPECT_FALSE(ReplaceFileContent(path_, unwritable, "newer", log_.Logger()));
  EXPECT_EQ(ReadFile(path_), "new");
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);  // rename of a file onto a directory fails
  EXPECT_FALSE(ReplaceFileContent(path_, tmp_, "newest", log_.Logger()));
  EXPECT_FALSE(std::filesystem::exists(tmp_));
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                              "error Status file " + unwritable + " write failed with " + std::to_string(ENOENT),
                              "error Status file " + tmp_ + "->" + path_ + " rename failed with " +
                                  std::to_string(EISDIR)}));
}

TEST_F(HealthFileTest, FullFileSystemNeverReplacesThePreviousFile) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // Every write that reaches /dev/full fails with ENOSPC, as on a full file system.
  std::ofstream(path_) << "previous";
  // Content larger than the stream's buffer fails in fwrite (logged with the
  // stream's error indicator, 1); small content fails only at the flush
  // (logged with ENOSPC).
  const struct {
    size_t size;
    int logged;
  } cases[] = {{100, ENOSPC}, {8192, 1}};
  for (const auto& c : cases) {
    std::filesystem::create_symlink("/dev/full", tmp_);
    EXPECT_FALSE(ReplaceFileContent(path_, tmp_, std::string(c.size, 'n'), log_.Logger())) << c.size;
    ASSERT_FALSE(std::filesystem::is_symlink(path_)) << c.size << ": renamed onto the previous file";
    ASSERT_FALSE(std::filesystem::is_symlink(tmp_)) << c.size << ": the failed write was left behind";
    EXPECT_EQ(ReadFile(path_), "previous") << c.size;
    EXPECT_EQ(log_.Count("error Status file " + tmp_ + " write failed with " + std::to_string(c.logged)), 1u)
        << c.size << ": " << log_.Text();
  }
}

}  // namespace
}  // namespace Tallywick
