#include "kestrix/app.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "kestrix/assert.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::GetDefaultLogger;

TEST(InitAppTest, FileLogNodeChoosesLogOverScratchDefaults) {
  struct Case {
    std::string name;
    std::string fileLog;  // the file's <log> content; "none" for no readable file
    std::string wantLog;  // log file below the temp dir, "" for standard error
    int32_t wantLevel;
    std::string wantStderr;  // a text that standard error must hold once, "" for no warning
  } cases[] = {
      {"scratch defaults", "none", "scratch/S.log", 16, ""},
      {"file overrides", "<directory>DIR/a/b</directory><name>N</name><level>verbose</level>", "a/b/N.log", 32, ""},
      {"file keeps scratch name", "<directory>DIR/d</directory><level>20</level>", "d/S.log", 20, ""},
      {"dash is standard error", "<directory>-</directory><level>error</level>", "", 4, ""},
      {"level below error still writes errors", "<directory>-</directory><level>0</level>", "", 4, ""},
      {"level just below error", "<directory>DIR/d</directory><level>3</level>", "d/S.log", 4, ""},
      {"unknown level", "<directory>DIR/d</directory><level>loud</level>", "d/S.log", 16,
       "Unknown log level 'loud' in configuration"},
      {"empty name ignored", "<directory>DIR/e</directory><name></name>", "e/S.log", 16, "Empty log/name in configuration"},
      {"directory blocked by a file", "<directory>DIR/plain/sub</directory><level>error</level>", "", 4,
       "warning -: Cannot open log file DIR/plain/sub/S.log: DIR/plain is not a directory; logging to standard error"},
  };
  for (const auto& c : cases) {
    TestSupport::TempDir dir;
    dir.Write("plain", "x");
    auto expand = [&](std::string s) {
      for (size_t p; (p = s.find("DIR")) != std::string::npos;) s.replace(p, 3, dir.Path());
      return s;
    };
    Kestrix::Service::ConfigRef scratch = Kestrix::Service::CreateScratchConfig();
    scratch->GetRoot()->SetString("log/name", "S");
    scratch->GetRoot()->SetString("log/directory", dir.File("scratch"));
    const std::string configPath =
        c.fileLog == "none" ? dir.File("absent.xml")
                            : dir.Write("c.xml", "<config><log>" + expand(c.fileLog) + "</log></config>");
    std::string err;
    {
      TestSupport::CapturedStandardError captured;
      Kestrix::Service::InitApp(scratch, configPath);
      KLOG(GetDefaultLogger(), ERROR, "after init");
      err = captured.Text();
    }
    EXPECT_EQ(GetDefaultLogger()->GetLevel(), c.wantLevel) << c.name;
    const std::string logged = c.wantLog.empty() ? err : TestSupport::ReadFile(dir.File(c.wantLog));
    EXPECT_NE(logged.find("error -: after init\n"), std::string::npos) << c.name << ": " << err;
    EXPECT_EQ(err.find("after init") != std::string::npos, c.wantLog.empty()) << c.name << ": " << err;
    const std::string want = c.wantStderr.empty() ? "warning" : expand(c.wantStderr);
    EXPECT_EQ(err.find(want) != std::string::npos, !c.wantStderr.empty()) << c.name << ": " << err;
    EXPECT_EQ(err.find(want), err.rfind(want)) << c.name << ": one warning only";
    GetDefaultLogger()->GetSink()->UseStandardError();
    GetDefaultLogger()->SetLevel(Kestrix::Service::LOG_INFO);
  }
}

TEST(QuickExitTest, ExitsWithStatusWithoutDestructorsAfterFlushingTheLog) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // other tests leave pool threads behind
  EXPECT_EXIT(
      {
        static struct Sentinel {
          ~Sentinel() { std::fputs("destructor ran\n", stderr); }
        } sentinel;
        KLOG(GetDefaultLogger(), INFO, "last words");
        Kestrix::System::QuickExit(3);
      },
      testing::ExitedWithCode(3), "info -: last words\n$");
}

TEST(AssertTest, ImpossibilitiesPrintTheirExactTextAndAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KESTRIX_VERIFY(1 + 1 == 2);
  EXPECT_DEATH(KESTRIX_VERIFY_AT(1 + 1 == 3, "apps/tallywick/appImpl"), "^VERIFY apps/tallywick/appImpl:[0-9]+\n");
  EXPECT_DEATH(KESTRIX_NOT_IMPLEMENTED_AT("lib/x"), "^NOT_IMPLEMENTED lib/x:[0-9]+\n");
  // A ccache base directory hands the compiler a relative path, which the
  // source-root prefix map then leaves as it is.
  EXPECT_DEATH(KESTRIX_NOT_REACHED(), "^NOT_REACHED (\\.\\.?/)*tests/kestrix/app_test.cpp:[0-9]+\n");
}

}  // namespace
