#include "kestrix/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <regex>
#include <thread>

#include "kestrix/time.h"
#include "tests/kestrix/testSupport.h"

namespace {

using Kestrix::Service::Logger;
using Kestrix::Service::LoggerRef;

TEST(LogTest, LineIsWrittenOnlyWhenLoggerLevelReachesLineLevel) {
  // The last letter of each written line: e(rror) w(arning) i(nfo) v(erbose) t(rivia).
  const std::pair<int32_t, std::string> cases[] = {{0, ""},     {4, "e"},     {8, "ew"},   {16, "ewi"},
                                                   {31, "ewi"}, {32, "ewiv"}, {64, "ewivt"}};
  for (const auto& [level, want] : cases) {
    TestSupport::LogFile f;
    LoggerRef logger = f.Logger("L", level);
    int evaluated = 0;
    KLOG(logger, ERROR, "%1e", ++evaluated);
    KLOG(logger, WARNING, "%1w", ++evaluated);
    KLOG(logger, INFO, "%1i", ++evaluated);
    KLOG(logger, VERBOSE, "%1v", ++evaluated);
    Kestrix::Service::LogInternal(logger, Kestrix::Service::LOG_TRIVIA, "t");
    std::string got;
    for (const auto& line : TestSupport::Lines(f.Text())) got += line.substr(line.size() - 1);
    EXPECT_EQ(got, want) << "logger level " << level;
    EXPECT_EQ(evaluated, int(std::min<size_t>(want.size(), 4))) << "a disabled line evaluates nothing, level " << level;
  }
}

TEST(LogTest, LineCarriesUtcMicrosecondsLevelNameAndOneMessage) {
  Kestrix::System::TestClock clock(5, 1000000123456);  // 1e6 s + 123456 µs after the epoch
  Kestrix::System::ScopedTestClock scoped(clock);
  TestSupport::LogFile f;
  LoggerRef parent = f.Logger("Tallywick", Kestrix::Service::LOG_VERBOSE);
  LoggerRef child = Logger::CreateLogger(parent, "Tallywick.Query(7)");
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
  const std::pair<std::string, int32_t> cases[] = {
      {"error", 4}, {"warning", 8}, {"info", 16}, {"verbose", 32}, {"trivia", 64}, {"20", 20}, {"0", 0},
      {"INFO", -1}, {"-1", -1},     {"", -1},     {"16x", -1},     {"99999999999", -1}};
  for (const auto& [text, want] : cases) {
    int32_t level = -5;
    EXPECT_EQ(Kestrix::Service::ParseLevel(text, level) ? level : -1, want) << text;
  }
}

TEST(LogTest, ConcurrentWritersNeverInterleaveLines) {
  TestSupport::LogFile f;
  constexpr int kThreads = 4, kLines = 500;
  TestSupport::RunThreads(kThreads, [&f](int t) {
    LoggerRef logger = f.Logger("W" + std::to_string(t), Kestrix::Service::LOG_INFO);
    const std::string payload(100 + 37 * t, char('a' + t));
    for (int i = 0; i < kLines; ++i) KLOG(logger, INFO, "%1 %2", i, payload);
  });
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

TEST(LogTest, ErrorLinesOfAFileAreMirroredOnStandardErrorOnlyWhileSwitchedOn) {
  TestSupport::CapturedStandardError captured;
  TestSupport::LogFile f;
  LoggerRef logger = f.Logger("L", Kestrix::Service::LOG_TRIVIA);
  KLOG(logger, ERROR, "off: error");
  f.sink->SetMirrorErrors(true);
  KLOG(logger, ERROR, "on: error");
  KLOG(logger, WARNING, "on: warning");
  KLOG(logger, INFO, "on: info");
  Kestrix::Service::LogInternal(logger, 2, "on: level 2");
  f.sink->SetMirrorErrors(false);
  KLOG(logger, ERROR, "off again: error");
  std::vector<std::string> want;
  for (const auto& line : TestSupport::Lines(f.Text())) {
    if (line.find(" on: error") != std::string::npos || line.find(" on: level 2") != std::string::npos) {
      want.push_back(line);
    }
  }
  ASSERT_EQ(want.size(), 2u) << f.Text();
  EXPECT_EQ(TestSupport::Lines(captured.Text()), want) << "the file's error lines, as written there";

  // A sink on standard error writes each line there once, mirrored or not.
  f.sink->UseStandardError();
  f.sink->SetMirrorErrors(true);
  KLOG(logger, ERROR, "stderr sink");
  const auto lines = TestSupport::Lines(captured.Text());
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find(": stderr sink") != std::string::npos; }),
            1)
      << captured.Text();
}

// A reader that stops taking lines (a pipe into a stalled logger) must not
// block the threads that log: lines are dropped after a bounded wait, and the
// first line written again says how many were lost.
TEST(LogTest, ALogWhoseReaderStallsDropsLinesAndSaysHowManyOnceItIsReadAgain) {
  TestSupport::TempDir dir;
  const std::string fifo = dir.File("log");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto sink = Kestrix::MakeRef<Kestrix::Service::LogSink>();
  std::string error;
  ASSERT_TRUE(sink->OpenFile(fifo, error)) << error;
  const LoggerRef logger = Kestrix::MakeRef<Logger>("L", sink, Kestrix::Service::LOG_INFO);

  // 400 lines of 1 KiB are six times what the pipe holds.
  const std::string filler(1000, 'x');
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < 400; ++i) KLOG(logger, INFO, "%1 %2", i, filler);
  });
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the writer blocked";

  std::string text;
  char buf[65536];
  for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  const size_t written = TestSupport::Lines(text).size();
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 400u);
  for (const auto& line : TestSupport::Lines(text)) EXPECT_NE(line.find(filler), std::string::npos) << "whole lines only";

  KLOG(logger, INFO, "read again");
  text.clear();
  for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  const auto lines = TestSupport::Lines(text);
  ASSERT_EQ(lines.size(), 2u) << text;
  EXPECT_NE(lines[0].find(": read again"), std::string::npos);
  EXPECT_NE(lines[1].find(" warning L: Dropped " + std::to_string(400 - written) +
                          " log lines before the one above: the log's reader did not make room for them within 1000 ms"),
            std::string::npos)
      << lines[1];
  ::close(reader);
}

}  // namespace
