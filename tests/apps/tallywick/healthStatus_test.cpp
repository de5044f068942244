#include "apps/tallywick/healthStatus.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(HealthStatusTest, ContentIsOneLineWithTheExpiryTenMinutesAhead) {
  HealthStatus status;
  AddHealthMessage(status, HealthLevel::Green, HealthyMessageKey, HealthyMessageText);
  EXPECT_EQ(FormatHealthStatus(status, 1000000000),
            kHead + "<status>GREEN</status>" + kHealthy + "<expirationMonoSec>1600</expirationMonoSec></healthStatus>");
  HealthStatus red;
  AddHealthMessage(red, HealthLevel::Red, DbIntegrityMessageKey, DbIntegrityMessageText);
  // 0.999999 s still counts as 0 whole seconds.
  EXPECT_EQ(FormatHealthStatus(red, 999999),
            kHead + "<status>RED</status>" + kIntegrity + "<expirationMonoSec>600</expirationMonoSec></healthStatus>");
}

class HealthFileTest : public ::testing::Test {
protected:
  ScratchDir dir_;
  CapturedLog log_{dir_};
  std::string db_ = dir_.File("stats.db");
  std::string path_ = dir_.File("health.xml");
  std::string tmp_ = path_ + ".tmp";
};

TEST_F(HealthFileTest, SoundDatabaseWritesGreenWithTheHealthyMessageAndAMissingOneRedWithout) {
  Kestrix::System::TestClock clock(1000000000, 1700000000000000);
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
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                              "error Status file " + unwritable + " write failed with " + std::to_string(ENOENT),
                              "error Status file " + tmp_ + "->" + path_ + " rename failed with " +
                                  std::to_string(EISDIR)}));
}

// FullDiskCase runs in a child process with a private mount namespace: a small
// tmpfs that is full except for a few bytes holds the previous health file.
// Returns "ok", "skip: <why>" or what went wrong.
std::string FullDiskCase(const std::string& scratch) {
  if (unshare(CLONE_NEWNS) != 0) return std::string("skip: unshare(CLONE_NEWNS): ") + strerror(errno);
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("skip: making mounts private: ") + strerror(errno);
  }
  const std::string mnt = scratch + "/full";
  std::filesystem::create_directory(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) {
    return std::string("skip: mounting tmpfs: ") + strerror(errno);
  }
  const std::string path = mnt + "/health.xml";
  std::ofstream(path) << "previous";
  {
    // Fill the file system to the last block.
    FILE* filler = fopen((mnt + "/filler").c_str(), "w");
    const std::string block(4096, 'f');
    while (fwrite(block.data(), 1, block.size(), filler) == block.size() && fflush(filler) == 0) {
    }
    fclose(filler);
  }
  Testing::ScratchDir logDir;
  std::string result;
  const std::string tmp = path + ".tmp";
  // Content larger than the stream's buffer fails in fwrite (logged with the
  // stream's error indicator, 1); small content fails only at the flush
  // (logged with ENOSPC).
  const struct {
    size_t size;
    int logged;
  } cases[] = {{100, ENOSPC}, {8192, 1}};
  for (const auto& c : cases) {
    Testing::CapturedLog log(logDir, "log" + std::to_string(c.size));
    const std::string which = std::to_string(c.size) + " bytes: ";
    if (ReplaceFileContent(path, tmp, std::string(c.size, 'n'), log.Logger())) result += which + "replaced; ";
    if (ReadFile(path) != "previous") result += which + "previous file changed; ";
    const std::string want = "error Status file " + tmp + " write failed with " + std::to_string(c.logged);
    if (log.Lines() != std::vector<std::string>{want}) result += which + "log: " + log.Text() + " wanted: " + want;
  }
  umount(mnt.c_str());
  return result.empty() ? "ok" : result;
}

TEST_F(HealthFileTest, FullFileSystemNeverReplacesThePreviousFile) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    const std::string report = FullDiskCase(dir_.Path());
    if (write(fds[1], report.data(), report.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  if (report.compare(0, 6, "skip: ") == 0) GTEST_SKIP() << report;
  EXPECT_EQ(report, "ok");
}

}  // namespace
}  // namespace Tallywick
