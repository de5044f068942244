#include "kestrix/app.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "kestrix/assert.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::ConfigRef;
using Kestrix::Service::GetDefaultLogger;

// StderrCapture sends file descriptor 2 to a file for its lifetime.
class StderrCapture {
public:
  explicit StderrCapture(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
    return TestSupport::ReadFile(path_);
  }
  ~StderrCapture() { Stop(); }

private:
  std::string path_;
  int saved_ = -1;
};

// The root logger back on standard error at info level, for the next test.
struct RestoreRootLogger {
  ~RestoreRootLogger() {
    GetDefaultLogger()->GetSink()->UseStandardError();
    GetDefaultLogger()->SetLevel(Kestrix::Service::LOG_INFO);
  }
};

TEST(InitAppTest, FileLogNodeChoosesLogOverScratchDefaults) {
  struct Case {
    std::string name;
    std::string fileLog;  // the file's <log> content; "none" for no readable file
    std::string wantLog;  // log file below the temp dir, "" for standard error
    int32_t wantLevel;
    std::string wantStderr;  // a text that standard error must hold, "" for none at all
  } cases[] = {
      {"scratch defaults", "none", "scratch/S.log", 16, ""},
      {"file overrides", "<directory>DIR/a/b</directory><name>N</name><level>verbose</level>", "a/b/N.log", 32, ""},
      {"file keeps scratch name", "<directory>DIR/d</directory><level>20</level>", "d/S.log", 20, ""},
      {"dash is standard error", "<directory>-</directory><level>error</level>", "", 4, ""},
      {"unknown level", "<directory>DIR/d</directory><level>loud</level>", "d/S.log", 16,
       "Unknown log level 'loud' in configuration"},
      {"empty name ignored", "<directory>DIR/e</directory><name></name>", "e/S.log", 16, "Empty log/name in configuration"},
      {"directory blocked by a file", "<directory>DIR/plain/sub</directory><level>error</level>", "", 4,
       "warning -: Cannot open log file DIR/plain/sub/S.log: DIR/plain is not a directory; logging to standard error"},
  };
  for (const auto& c : cases) {
    RestoreRootLogger restore;
    TestSupport::TempDir dir;
    dir.Write("plain", "x");
    auto expand = [&](std::string s) {
      for (size_t p; (p = s.find("DIR")) != std::string::npos;) s.replace(p, 3, dir.Path());
      return s;
    };
    ConfigRef scratch = Kestrix::Service::CreateScratchConfig();
    scratch->GetRoot()->SetString("log/name", "S");
    scratch->GetRoot()->SetString("log/directory", dir.File("scratch"));
    const std::string configPath =
        c.fileLog == "none" ? dir.File("absent.xml")
                            : dir.Write("c.xml", "<config><log>" + expand(c.fileLog) + "</log></config>");
    StderrCapture capture(dir.File("stderr"));
    Kestrix::Service::InitApp(scratch, configPath);
    KLOG(GetDefaultLogger(), ERROR, "after init");
    const std::string err = capture.Stop();
    EXPECT_EQ(GetDefaultLogger()->GetLevel(), c.wantLevel) << c.name;
    if (c.wantLog.empty()) {
      EXPECT_EQ(GetDefaultLogger()->GetSink()->Fd(), 2) << c.name;
      EXPECT_NE(err.find("error -: after init"), std::string::npos) << c.name << ": " << err;
    } else {
      EXPECT_NE(TestSupport::ReadFile(dir.File(c.wantLog)).find("error -: after init\n"), std::string::npos)
          << c.name;
      EXPECT_EQ(err.find("after init"), std::string::npos) << c.name;
    }
    if (c.wantStderr.empty()) {
      EXPECT_EQ(err.find("warning"), std::string::npos) << c.name << ": " << err;
    } else {
      const std::string want = expand(c.wantStderr);
      EXPECT_NE(err.find(want), std::string::npos) << c.name << ": " << err;
      EXPECT_EQ(err.find(want), err.rfind(want)) << c.name << ": one warning only";
    }
  }
}

TEST(InitAppTest, ApplicationOwnsConfigurationInfoAndPool) {
  auto app = Kestrix::Service::GetApp();
  ConfigRef scratch = Kestrix::Service::CreateScratchConfig();
  scratch->GetRoot()->SetString("statsRegistry/parallelCollect", "true");
  app->SetConfig(scratch);
  bool parallel = false;
  EXPECT_TRUE(Kestrix::Service::GetApp()->GetConfig()->GetRoot()->GetBool("statsRegistry/parallelCollect", parallel));
  EXPECT_TRUE(parallel);
  Kestrix::Service::AppInfo info;
  info.name = "Tallywick";
  info.version = "1.0";
  info.build = 17590285;
  Kestrix::Service::SetAppInfo(info);
  EXPECT_EQ(app->GetAppInfo().build, 17590285);
  EXPECT_EQ(app->GetAppInfo().name, "Tallywick");
  EXPECT_EQ(app->GetWorkPool(), Kestrix::Service::GetApp()->GetWorkPool());
  EXPECT_EQ(app->GetRootLogger(), GetDefaultLogger());
  app->SetConfig(Kestrix::Service::CreateScratchConfig());
}

// Sentinel marks a file when destroyed: QuickExit must not run destructors.
struct Sentinel {
  std::string path;
  ~Sentinel() { std::fclose(std::fopen(path.c_str(), "w")); }
};

// Death tests run in a re-executed child ("threadsafe" style, as other tests
// leave pool threads behind); both sides name their files after the parent.
std::string ParentFile(pid_t parent, const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("tw-death-" + std::to_string(parent) + "-" + name)).string();
}

TEST(QuickExitTest, ExitsWithStatusWithoutDestructorsAfterFlushingTheLog) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string marker = ParentFile(getpid(), "destructor-ran"), log = ParentFile(getpid(), "log");
  EXPECT_EXIT(
      {
        static Sentinel sentinel{ParentFile(getppid(), "destructor-ran")};
        std::string error;
        GetDefaultLogger()->GetSink()->OpenFile(ParentFile(getppid(), "log"), error);
        KLOG(GetDefaultLogger(), INFO, "last words");
        Kestrix::System::QuickExit(3);
      },
      testing::ExitedWithCode(3), "");
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_NE(TestSupport::ReadFile(log).find("info -: last words\n"), std::string::npos);
  std::filesystem::remove(marker);
  std::filesystem::remove(log);
}

TEST(AssertTest, ImpossibilitiesPrintTheirExactTextAndAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KESTRIX_VERIFY(1 + 1 == 2);
  EXPECT_DEATH(KESTRIX_VERIFY_AT(1 + 1 == 3, "apps/tallywick/appImpl"), "^VERIFY apps/tallywick/appImpl:[0-9]+\n");
  EXPECT_DEATH(KESTRIX_NOT_IMPLEMENTED_AT("lib/x"), "^NOT_IMPLEMENTED lib/x:[0-9]+\n");
  EXPECT_DEATH(KESTRIX_NOT_REACHED(), "^NOT_REACHED tests/kestrix/app_test.cpp:[0-9]+\n");
}

}  // namespace
