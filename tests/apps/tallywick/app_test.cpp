#include "apps/tallywick/appImpl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "kestrix/app.h"
#include "kestrix/time.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::ConfigRef;
using Tallywick::App;
using Tallywick::AppRef;

// Valid, with a few unknown keys (a misspelt period among them) and a path
// both monitored as a file system and as a directory.
const char* const kConfig = R"(<config>
  <statsRegistry><parallelCollect>1</parallelCollect></statsRegistry>
  <tallywick>
    <persistence>
      <engine>sqlite</engine>
      <locator>DIR/tallywick.db</locator>
      <ttl>1</ttl>
      <statTtlSec>86400</statTtlSec>
    </persistence>
    <cpuMemNetSamplingPeriodSecs>5</cpuMemNetSamplingPeriodSecs>
    <health_status_file>DIR/health.xml</health_status_file>
    <storageSizeProvider>
      <filesystems>
        <root><path>/</path><name>root</name><size>3</size></root>
        <data><path>/data</path><name>data</name></data>
      </filesystems>
      <dirs>
        <logs><path>/var/log</path><name>logs</name></logs>
        <again><path>/data</path><name>second</name></again>
      </dirs>
    </storageSizeProvider>
  </tallywick>
</config>)";

// Init of app on xml (DIR standing for dir), logging into dir's file "log".
bool InitWith(const TestSupport::TempDir& dir, std::string xml, const AppRef& app) {
  for (size_t p = 0; (p = xml.find("DIR", p)) != std::string::npos; p += dir.Path().size()) {
    xml.replace(p, 3, dir.Path());
  }
  std::string error;
  Kestrix::Service::GetDefaultLogger()->GetSink()->OpenFile(dir.File("log"), error);
  ConfigRef config;
  Kestrix::Service::CreateXmlFileConfig(dir.Write("c.xml", xml), -1, 0, config);
  config->Load();
  const bool initialized = app->Init(config);
  Kestrix::Service::GetDefaultLogger()->GetSink()->UseStandardError();
  return initialized;
}
std::string LogOf(const TestSupport::TempDir& dir) { return TestSupport::ReadFile(dir.File("log")); }
// WithLocator is kConfig with the database at locator.
std::string WithLocator(const std::string& locator) {
  std::string xml = kConfig;
  return xml.replace(xml.find("DIR/tallywick.db"), 16, locator);
}

TEST(AppInitTest, ReadsAValidConfigurationAndWarnsOfUnknownKeys) {
  TestSupport::TempDir dir;
  AppRef app = Kestrix::MakeRef<App>();
  ASSERT_TRUE(InitWith(dir, kConfig, app));
  // The application's lines without time stamps, up to the end of the
  // configuration reading (the found line); the storage engine's follow.
  std::vector<std::string> lines;
  for (const auto& line : TestSupport::Lines(LogOf(dir))) {
    if (line.find(" Tallywick: ") != std::string::npos) lines.push_back(line.substr(line.find(' ') + 1));
    if (line.find(" Tallywick: Found ") != std::string::npos) break;
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "info Tallywick: Initializing",
                       "warning Tallywick: Unknown configuration key cpuMemNetSamplingPeriodSecs ignored",
                       "warning Tallywick: Unknown configuration key persistence/ttl ignored",
                       "warning Tallywick: Unknown configuration key storageSizeProvider/filesystems/root/size ignored",
                       "info Tallywick: Found 2 file systems and 2 dirs in config for monitoring.",
                   }));
  EXPECT_EQ(app->GetCollections().size(), 2u);
  EXPECT_EQ(app->GetStatTtlSec(), 86400);
  EXPECT_EQ(app->GetCpuMemNetPeriodMicros(), 60000000u) << "the misspelt key does not set the period";
  EXPECT_EQ(app->GetStorageSizePeriodMicros(), 600000000u);
  EXPECT_EQ(app->GetHealthStatusTempFile(), dir.File("health.xml.tmp"));
  EXPECT_EQ(app->GetDirPaths(), (std::vector<std::string>{"/var/log", "/data"})) << "both /data entries stay";
  EXPECT_EQ(app->GetPathNames(),
            (std::map<std::string, std::string>{{"/", "root"}, {"/data", "data"}, {"/var/log", "logs"}}))
      << "a repeated path keeps its first name";
}

// Two paths of one list whose names give one series table (SQLite's table
// names ignore case; "." becomes "_") would overwrite each other's rows.
TEST(AppInitTest, RefusesNamesWhoseSeriesWouldShareATable) {
  const struct {
    const char* from;
    const char* to;
    const char* error;
  } cases[] = {
      {"<data><path>/data</path><name>data</name></data>", "<data><path>/data</path><name>root</name></data>",
       "Invalid value root for key storageSizeProvider/filesystems/data/name: its series tables would be those of "
       "storageSizeProvider/filesystems/root/name (root)"},
      {"<again><path>/data</path><name>second</name></again>",
       "<a><path>/srv</path><name>a.b</name></a><b><path>/opt</path><name>A_B</name></b>",
       "Invalid value A_B for key storageSizeProvider/dirs/b/name: its series tables would be those of "
       "storageSizeProvider/dirs/a/name (a.b)"},
  };
  for (const auto& c : cases) {
    TestSupport::TempDir dir;
    std::string xml = kConfig;
    xml.replace(xml.find(c.from), std::string(c.from).size(), c.to);
    EXPECT_FALSE(InitWith(dir, xml, Kestrix::MakeRef<App>())) << c.to;
    EXPECT_NE(LogOf(dir).find(std::string("error Tallywick: ") + c.error), std::string::npos) << LogOf(dir);
    EXPECT_FALSE(std::filesystem::exists(dir.File("tallywick.db"))) << "refused before the database is made";
  }
}

// A start that cannot open its database leaves a RED status, not the GREEN
// one of the run before, which readers would trust until its expiry.
TEST(AppInitTest, ADatabaseThatCannotBeOpenedReplacesTheHealthFileWithRed) {
  TestSupport::TempDir dir;
  dir.Write("plain", "");
  dir.Write("health.xml", "<healthStatus><status>GREEN</status></healthStatus>");
  EXPECT_FALSE(InitWith(dir, WithLocator("DIR/plain/tallywick.db"), Kestrix::MakeRef<App>()));
  const std::string health = TestSupport::ReadFile(dir.File("health.xml"));
  EXPECT_NE(health.find("<status>RED</status>"), std::string::npos) << health;
  EXPECT_NE(health.find("com.norvex.fenmark.mon.health.db_integrity_check_failed"), std::string::npos) << health;
}

// A second service on the same database refuses to start, and leaves the
// running one's health file alone.
TEST(AppInitTest, ASecondServiceOnTheSameDatabaseRefusesToStart) {
  TestSupport::TempDir dir;
  AppRef first = Kestrix::MakeRef<App>();
  ASSERT_TRUE(InitWith(dir, kConfig, first));
  dir.Write("health.xml", "GREEN of the first");
  EXPECT_FALSE(InitWith(dir, kConfig, Kestrix::MakeRef<App>()));
  EXPECT_NE(LogOf(dir).find("error Tallywick: Unable to open and initialize storage engine: database " +
                            dir.File("tallywick.db") + " is in use by another process (it holds " +
                            dir.File("tallywick.db") + ".lock)"),
            std::string::npos);
  EXPECT_EQ(TestSupport::ReadFile(dir.File("health.xml")), "GREEN of the first");
  // An `rm tallywick.db*` takes the lock file along; the first locks a new one.
  ASSERT_TRUE(std::filesystem::remove(dir.File("tallywick.db.lock")));
  first->KeepDatabaseLock();
  EXPECT_FALSE(InitWith(dir, kConfig, Kestrix::MakeRef<App>()));
  EXPECT_EQ(TestSupport::ReadFile(dir.File("health.xml")), "GREEN of the first");
}

// SQLite follows a locator that is a symbolic link to the file it names: a
// service configured with the link and one with the file are on one database,
// and the second refuses to start, whichever of the two comes first.
TEST(AppInitTest, ALocatorThatLinksToTheDatabaseSharesItsLock) {
  TestSupport::TempDir dir;
  std::filesystem::create_directory(dir.File("data"));
  // Relative, to a file not made yet, through a second link.
  std::filesystem::create_symlink("data/hop.db", dir.File("tallywick.db"));
  std::filesystem::create_symlink("real.db", dir.File("data/hop.db"));

  AppRef linked = Kestrix::MakeRef<App>();
  ASSERT_TRUE(InitWith(dir, kConfig, linked));
  EXPECT_TRUE(std::filesystem::exists(dir.File("data/real.db")));
  EXPECT_FALSE(InitWith(dir, WithLocator("DIR/data/real.db"), Kestrix::MakeRef<App>()));
  EXPECT_NE(LogOf(dir).find("(it holds " + dir.File("data/real.db") + ".lock)"), std::string::npos) << LogOf(dir);

  TestSupport::TempDir other;
  std::filesystem::create_symlink(other.File("real.db"), other.File("tallywick.db"));
  AppRef first = Kestrix::MakeRef<App>();
  ASSERT_TRUE(InitWith(other, WithLocator("DIR/real.db"), first));
  EXPECT_FALSE(InitWith(other, kConfig, Kestrix::MakeRef<App>()));
}

// A lock file the service cannot open leaves the database unprotected: the
// start goes on, but says so. A missing directory is the database's failure.
TEST(AppInitTest, ALockFileThatCannotBeOpenedIsWarnedAbout) {
  TestSupport::TempDir dir;
  std::filesystem::create_directory(dir.File("tallywick.db.lock"));
  EXPECT_TRUE(InitWith(dir, kConfig, Kestrix::MakeRef<App>()));
  EXPECT_NE(LogOf(dir).find("warning Tallywick: Unable to lock " + dir.File("tallywick.db.lock") + ": Is a directory"),
            std::string::npos)
      << LogOf(dir);

  TestSupport::TempDir missing;
  EXPECT_FALSE(InitWith(missing, WithLocator("DIR/none/tallywick.db"), Kestrix::MakeRef<App>()));
  EXPECT_EQ(LogOf(missing).find("Unable to lock"), std::string::npos);
}

// WaitForStop follows the test clock; Shutdown from another thread ends it.
TEST(AppStopTest, WaitForStopEndsOnStopOrAtItsDeadline) {
  Kestrix::System::TestClock clock(1000, 0);
  Kestrix::System::ScopedTestClock scoped(clock);
  AppRef app = Kestrix::MakeRef<App>();
  bool stopped = true;
  uint64_t returnedAt = 0;
  auto waitOnThread = [&](uint64_t timeout) {
    return std::thread([&, timeout] {
      stopped = app->WaitForStop(timeout);
      returnedAt = Kestrix::System::GetMonotonicTime();
    });
  };
  std::thread t = waitOnThread(300000000);
  ASSERT_TRUE(clock.AwaitWaiters(1));
  clock.Advance(299999999);
  ASSERT_TRUE(clock.AwaitWaiters(1)) << "a clock move before the deadline is not the end of the wait";
  clock.Advance(1);
  t.join();
  EXPECT_FALSE(stopped);
  EXPECT_EQ(returnedAt, 300001000u);

  t = waitOnThread(UINT64_MAX);
  ASSERT_TRUE(clock.AwaitWaiters(1));
  app->Shutdown();
  t.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(returnedAt, 300001000u) << "the stop needs no clock move";
  EXPECT_TRUE(app->WaitForStop(0)) << "the flag stays set";
  EXPECT_TRUE(app->WaitForStop(UINT64_MAX));
}

// The main loop's wait also ends when the engine asks for a health rewrite;
// the request is used up, and a stop still ends it as a stop.
TEST(AppStopTest, AHealthRequestEndsTheMainLoopsWaitOnce) {
  Kestrix::System::TestClock clock(1000, 0);
  Kestrix::System::ScopedTestClock scoped(clock);
  AppRef app = Kestrix::MakeRef<App>();
  bool stopped = true, requested = false;
  std::thread t([&] { stopped = app->WaitForStopOrHealthRequest(300000000, requested); });
  ASSERT_TRUE(clock.AwaitWaiters(1));
  app->RequestHealthRewrite();
  t.join();
  EXPECT_FALSE(stopped);
  EXPECT_TRUE(requested);
  t = std::thread([&] { stopped = app->WaitForStopOrHealthRequest(300000000, requested); });
  ASSERT_TRUE(clock.AwaitWaiters(1)) << "the request was consumed";
  clock.Advance(300000000);
  t.join();
  EXPECT_FALSE(stopped);
  EXPECT_FALSE(requested);
  app->RequestHealthRewrite();
  app->Shutdown();
  EXPECT_TRUE(app->WaitForStopOrHealthRequest(0, requested));
}

}  // namespace
