#include "apps/tallywick/appImpl.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
      <locator>var/tallywick.db</locator>
      <ttl>1</ttl>
      <statTtlSec>86400</statTtlSec>
    </persistence>
    <cpuMemNetSamplingPeriodSecs>5</cpuMemNetSamplingPeriodSecs>
    <health_status_file>var/health.xml</health_status_file>
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

// InDirectory makes dir the working directory for its scope (also when the
// scope is left by an exception).
struct InDirectory {
  explicit InDirectory(const std::string& dir) {
    EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InDirectory() { EXPECT_EQ(chdir(previous), 0); }
  char previous[4096] = {};
};

// ConfigLines keeps the lines up to the end of the configuration reading (the
// found line); the storage engine's lines follow it.
std::vector<std::string> ConfigLines(std::vector<std::string> lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("Found ") != std::string::npos) {
      lines.resize(i + 1);
      break;
    }
  }
  return lines;
}

// Captured runs Init of a new App on xml with the root log in a file, and
// keeps the Tallywick lines (without time stamps).
struct Captured {
  explicit Captured(const std::string& xml) {
    std::string error;
    Kestrix::Service::GetDefaultLogger()->GetSink()->OpenFile(dir.File("log"), error);
    ConfigRef config;
    Kestrix::Service::CreateXmlFileConfig(dir.Write("c.xml", xml), -1, 0, config);
    config->Load();
    // Relative paths of the configuration (var/...) land in the temporary directory.
    EXPECT_EQ(mkdir(dir.File("var").c_str(), 0755), 0);
    {
      InDirectory here(dir.File(""));
      app = Kestrix::MakeRef<App>();
      result = app->Init(config);
    }
    Kestrix::Service::GetDefaultLogger()->GetSink()->UseStandardError();
    for (const auto& line : TestSupport::Lines(TestSupport::ReadFile(dir.File("log")))) {
      const size_t p = line.find(' ');
      if (line.find(" Tallywick: ") != std::string::npos) lines.push_back(line.substr(p + 1));
    }
  }
  TestSupport::TempDir dir;
  AppRef app;
  bool result = false;
  std::vector<std::string> lines;
};

TEST(AppInitTest, ReadsAValidConfigurationAndWarnsOfUnknownKeys) {
  Captured c(kConfig);
  ASSERT_TRUE(c.result);
  EXPECT_EQ(ConfigLines(c.lines), (std::vector<std::string>{
                         "info Tallywick: Initializing",
                         "warning Tallywick: Unknown configuration key cpuMemNetSamplingPeriodSecs ignored",
                         "warning Tallywick: Unknown configuration key persistence/ttl ignored",
                         "warning Tallywick: Unknown configuration key storageSizeProvider/filesystems/root/size ignored",
                         "info Tallywick: Found 2 file systems and 2 dirs in config for monitoring.",
                     }));
  EXPECT_EQ(c.app->GetCollections().size(), 2u);
  EXPECT_EQ(c.app->GetStatTtlSec(), 86400);
  EXPECT_EQ(c.app->GetCpuMemNetPeriodMicros(), 60000000u) << "the misspelt key does not set the period";
  EXPECT_EQ(c.app->GetStorageSizePeriodMicros(), 600000000u);
  EXPECT_EQ(c.app->GetHealthStatusTempFile(), "var/health.xml.tmp");
  EXPECT_EQ(c.app->GetDirPaths(), (std::vector<std::string>{"/var/log", "/data"})) << "both /data entries stay";
  EXPECT_EQ(c.app->GetPathNames(),
            (std::map<std::string, std::string>{{"/", "root"}, {"/data", "data"}, {"/var/log", "logs"}}))
      << "a repeated path keeps its first name";
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

}  // namespace
