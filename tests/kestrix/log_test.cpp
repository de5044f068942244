#include "kestrix/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "kestrix/time.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::Logger;
using Kestrix::Service::LoggerRef;
using Kestrix::Service::LogSink;

// A sink appending to a fresh file, and the file's content.
struct FileSink {
  TestSupport::TempDir dir;
  Kestrix::Ref<LogSink> sink = Kestrix::MakeRef<LogSink>();
  FileSink() {
    std::string error;
    EXPECT_TRUE(sink->OpenFile(dir.File("log"), error)) << error;
  }
  std::string Text() const { return TestSupport::ReadFile(dir.File("log")); }
};

// Counted is a printable type that counts how often it was formatted.
struct Counted {
  mutable int* formatted;
};

}  // namespace

template <>
struct Kestrix::PrintFormatter<Counted> {
  static void Append(std::string& out, const Counted& c) {
    ++*c.formatted;
    out += "counted";
  }
};

namespace {

TEST(LogTest, LineIsWrittenWhenLoggerLevelReachesLineLevel) {
  // The last letter of each written line: e(rror) w(arning) i(nfo) v(erbose) t(rivia).
  const struct {
    int32_t loggerLevel;
    std::string want;
  } cases[] = {{0, ""}, {4, "e"}, {8, "ew"}, {16, "ewi"}, {31, "ewi"}, {32, "ewiv"}, {64, "ewivt"}};
  for (const auto& c : cases) {
    const int32_t loggerLevel = c.loggerLevel;
    FileSink f;
    LoggerRef logger = Kestrix::MakeRef<Logger>("L", f.sink, loggerLevel);
    KLOG(logger, ERROR, "e");
    KLOG(logger, WARNING, "w");
    KLOG(logger, INFO, "i");
    KLOG(logger, VERBOSE, "v");
    KLOG(logger, TRIVIA, "t");
    std::string got;
    for (const auto& line : TestSupport::Lines(f.Text())) got += line.substr(line.size() - 1);
    EXPECT_EQ(got, c.want) << "logger level " << loggerLevel;
  }
}

TEST(LogTest, DisabledLineDoesNoFormattingWork) {
  FileSink f;
  LoggerRef logger = Kestrix::MakeRef<Logger>("L", f.sink, Kestrix::Service::LOG_INFO);
  int formatted = 0;
  KLOG(logger, VERBOSE, "%1", Counted{&formatted});
  Kestrix::Service::LogInternal(logger, Kestrix::Service::LOG_TRIVIA, "%1", Counted{&formatted});
  EXPECT_EQ(formatted, 0);
  KLOG(logger, INFO, "%1", Counted{&formatted});
  EXPECT_EQ(formatted, 1);
}

TEST(LogTest, LineCarriesUtcMicrosecondsLevelNameAndOneMessage) {
  Kestrix::System::TestClock clock(5, 1000000123456);  // 1e6 s + 123456 µs after the epoch
  Kestrix::System::ScopedTestClock scoped(clock);
  FileSink f;
  LoggerRef parent = Kestrix::MakeRef<Logger>("Tallywick", f.sink, Kestrix::Service::LOG_VERBOSE);
  LoggerRef child = Logger::CreateLogger(parent, "Tallywick.Query(7)");
  EXPECT_EQ(child->GetLevel(), Kestrix::Service::LOG_VERBOSE);
  LoggerRef unnamed = Logger::CreateLogger(parent, "");
  KLOG(child, VERBOSE, "took %1us at %2%%", 12, 50);
  KLOG(parent, WARNING, "two\nlines\n\n");
  KLOG(unnamed, ERROR, "x");
  Kestrix::Service::LogInternal(parent, 20, "custom level");
  EXPECT_EQ(f.Text(),
            "1970-01-12T13:46:40.123456Z verbose Tallywick.Query(7): took 12us at 50%\n"
            "1970-01-12T13:46:40.123456Z warning Tallywick: two\\nlines\n"
            "1970-01-12T13:46:40.123456Z error -: x\n"
            "1970-01-12T13:46:40.123456Z 20 Tallywick: custom level\n");
}

TEST(LogTest, LevelNamesAndNumbersParse) {
  struct Case {
    std::string text;
    bool ok;
    int32_t level;
  } cases[] = {{"error", true, 4}, {"warning", true, 8}, {"info", true, 16}, {"verbose", true, 32},
               {"trivia", true, 64}, {"20", true, 20}, {"0", true, 0}, {"INFO", false, 0},
               {"-1", false, 0}, {"", false, 0}, {"16x", false, 0}, {"99999999999", false, 0}};
  for (const auto& c : cases) {
    int32_t level = -5;
    EXPECT_EQ(Kestrix::Service::ParseLevel(c.text, level), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(level, c.level) << c.text;
    }
  }
  EXPECT_EQ(Kestrix::Service::LevelName(32), "verbose");
  EXPECT_EQ(Kestrix::Service::LevelName(33), "33");
}

TEST(LogTest, ConcurrentWritersNeverInterleaveLines) {
  FileSink f;
  constexpr int kThreads = 6, kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&f, t] {
      LoggerRef logger = Kestrix::MakeRef<Logger>("W" + std::to_string(t), f.sink, Kestrix::Service::LOG_INFO);
      const std::string payload(100 + 37 * t, char('a' + t));
      for (int i = 0; i < kLines; ++i) KLOG(logger, INFO, "%1 %2", i, payload);
    });
  }
  for (auto& th : threads) th.join();
  const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z info W(\d): (\d+) ([a-f]+))");
  std::vector<int> next(kThreads, 0);
  for (const auto& l : TestSupport::Lines(f.Text())) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l.substr(0, 200);
    const int t = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[t]++) << "lines of one writer stay in order";
    EXPECT_EQ(m[3].str(), std::string(100 + 37 * t, char('a' + t)));
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "writer " << t;
}

}  // namespace
