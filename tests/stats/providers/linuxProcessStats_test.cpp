#include "stats/providers/linuxProcessStats.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

#include "kestrix/exception.h"
#include "providerTestUtil.h"
#include "stats/providers/linuxStatsProviderImpl.h"
#include "stats/providers/procParsers.h"

namespace Stats {
namespace Providers {
namespace {

using Testing::Values;
const int64_t kTick = 1000000 / ::sysconf(_SC_CLK_TCK);
const ProcessSelectorList kSelectors = {
    {"init", "/sbin/init splash"}, {"daemon", "my daemon.*"}, {"sshd", "sshd"},
    {"idle", ""},  // kernel threads and zombies have an empty command line
    {"broken", "broken"},
};

// A writable copy of the processes fixture, with inotify watches that count
// how often a file is opened.
struct ProcTree : Testing::TempDir {
  ProcTree() : TempDir("proc/processes"), inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~ProcTree() { ::close(inotify); }
  int Watch(const std::string& file) { return ::inotify_add_watch(inotify, Path(file).c_str(), IN_OPEN); }
  /// Opens returns the number of IN_OPEN events per watch since the last call.
  std::map<int, int> Opens() {
    std::map<int, int> count;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(inotify, buf, sizeof(buf))) > 0;)
      for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
        ++count[reinterpret_cast<inotify_event*>(p)->wd];
    return count;
  }
  int inotify;
};

struct Provider : Testing::LinuxHarness {
  using LinuxHarness::LinuxHarness;
  /// Tasks returns total, running, sleeping, blocked, stopped, zombie (-1: absent).
  std::vector<int64_t> Tasks() {
    std::vector<int64_t> out;
    for (const char* name : {"total", "running", "sleeping", "blocked", "stopped", "zombie"})
      out.push_back(Host(std::string("tasks.") + name));
    return out;
  }
  int64_t Of(const std::string& stat, const std::string& pid) {
    const Values v = Get(stat + ".process", {pid});
    return v.size() == 1 && v.count(pid) ? v.at(pid) : -1;
  }
};
using Counts = std::vector<int64_t>;

TEST(LinuxProcessStatsTest, WithoutSelectorsNoProcessFileIsOpened) {
  ProcTree tree;
  const int init = tree.Watch("1/cmdline"), stat = tree.Watch("42/stat");
  Provider p(tree.Path(), {});
  EXPECT_EQ(p.Tasks(), (Counts{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(p.Get("cpu.used.user.process"), Values{});
  const auto opens = tree.Opens();
  EXPECT_EQ(opens.count(init) + opens.count(stat), 0u);
}

TEST(LinuxProcessStatsTest, SelectedProcessesAreTrackedAndCounted) {
  Provider p(Testing::Fixture("proc/processes"), kSelectors);
  // 1 S, 42 R, 77 Z, 200 D, 300 I (unknown), 400 unparsable; 201 "sshd -D" does not match fully.
  EXPECT_EQ(p.Tasks(), (Counts{6, 1, 1, 1, 0, 1}));
  EXPECT_EQ(p.Get("cpu.used.system.process"),
            (Values{{"1", 250 * kTick}, {"42", 3 * kTick}, {"77", 0}, {"200", kTick}, {"300", 0}}));
  const std::pair<const char*, int64_t> init[] = {
      {"cpu.used.user", 150 * kTick}, {"thread.num", 1},         {"mem.virtual", 169000000},
      {"mem.resident", 3000 * 4096},  {"mem.text", 300 * 4096},  {"mem.data", 1500 * 4096},
      {"mem.shared", 2000 * 4096},    {"fd.file.num", 1},        {"fd.dir.num", 1},
      {"fd.link.num", 0},             {"fd.fifo.num", 0},        {"fd.socket.num", 0},
      {"fd.block.num", 0},            {"fd.char.num", 1},        {"fd.weird.num", 1}};
  for (const auto& [name, want] : init) EXPECT_EQ(p.Of(name, "1"), want) << name;
  // pid 42: the fields after "((my daemon) (x))" read right; vsize 0 is a value; fd.num is derived.
  const std::pair<const char*, int64_t> daemon[] = {
      {"thread.num", 4}, {"mem.virtual", 0}, {"mem.resident", 12 * 4096}, {"fd.num", -1}};
  for (const auto& [name, want] : daemon) EXPECT_EQ(p.Of(name, "42"), want) << name;
  EXPECT_EQ(p.Get("fd.file.num.process"), (Values{{"1", 1}, {"42", 0}}));
  for (const char* pid : {"42x", "201", "400"}) EXPECT_EQ(p.Of("mem.text", pid), -1) << pid;  // 400: nothing parses
  std::vector<std::string> out;
  p.provider->MapAttributes({{"process", 20, "", true}}, {"42"}, 0, out);
  EXPECT_EQ(out, (std::vector<std::string>{"daemon", "((my daemon) (x))", "my daemon --flag"}));
  for (const char* value : {"42x", "201", ""}) {
    out.clear();
    p.provider->MapAttributes({{"process", 20, "", true}}, {value}, 0, out);
    EXPECT_TRUE(out.empty()) << value;
  }
}

TEST(LinuxProcessStatsTest, UnmatchedProcessesAreRememberedUntilTheyChange) {
  ProcTree tree;
  const int sshdD = tree.Watch("201/cmdline"), init = tree.Watch("1/cmdline");
  Provider p(tree.Path(), kSelectors);
  p.Tasks();  // six refreshes
  auto opens = tree.Opens();
  EXPECT_EQ(opens[sshdD], 1) << "a non-matching command line is read once";
  EXPECT_EQ(opens[init], 1) << "a tracked one at creation only";
  // After exec the command name differs: the command line is checked again.
  tree.Write("201/stat", "201 (sshd) T 1 1 1 0 -1 0 0 0 0 0 1 1 0 0 20 0 1 0 2001 4096 1\n");
  p.Host("tasks.total");
  EXPECT_EQ(tree.Opens()[sshdD], 0);
  tree.Write("201/stat", "201 (sshd2) T 1 1 1 0 -1 0 0 0 0 0 1 1 0 0 20 0 1 0 2001 4096 1\n");
  tree.Write("201/cmdline", "sshd");
  tree.Opens();  // our own write opened it
  EXPECT_EQ(p.Host("tasks.stopped"), 1);
  EXPECT_EQ(tree.Opens()[sshdD], 1);
}

TEST(LinuxProcessStatsTest, VanishedAndReplacedProcessesAreNotCounted) {
  ProcTree tree;
  Provider p(tree.Path(), kSelectors);
  EXPECT_EQ(p.Host("tasks.total"), 6);
  std::filesystem::remove(tree.Path("42/stat"));  // exited between enumeration and refresh
  EXPECT_EQ(p.Host("tasks.running"), 0);
  EXPECT_EQ(p.Host("tasks.total"), 5);
  EXPECT_EQ(p.Of("thread.num", "42"), -1);
  // Another process under pid 1 (a different start time) is not reported as the old one.
  tree.Write("1/stat", "1 (other) S 0 1 1 0 -1 0 0 0 0 0 1 1 0 0 20 0 9 0 777 1 1\n");
  tree.Write("1/cmdline", "other");
  EXPECT_EQ(p.Of("thread.num", "1"), -1);
  EXPECT_EQ(p.Host("tasks.total"), 4);
  std::filesystem::remove_all(tree.Path("77"));
  EXPECT_EQ(p.Host("tasks.zombie"), 0);
  // Stopped by a tracer: 't' since 2.6.33, 'T' before.
  tree.Write("200/stat", "200 (sshd) t 0 200 200 0 -1 4194560 100 0 0 0 1 1 0 0 20 0 1 0 2000 4096 1\n");
  EXPECT_EQ(p.Tasks(), (Counts{3, 0, 0, 0, 1, 0}));  // 200 t, 300 I, 400 unparsable
}

TEST(LinuxProcessStatsTest, FailedEnumerationLeavesTaskCountsAbsent) {
  Provider p("/nonexistent-proc-root", kSelectors);
  EXPECT_EQ(p.Tasks(), (Counts{-1, -1, -1, -1, -1, -1}));
  EXPECT_THROW(ProcessTable({{"bad", "("}}, Kestrix::Service::LoggerRef()), Kestrix::InvalidArgumentException);
}

}  // namespace
}  // namespace Providers
}  // namespace Stats
