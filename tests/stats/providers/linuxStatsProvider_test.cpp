#include "stats/providers/linuxStatsProviderImpl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "kestrix/exception.h"
#include "kestrix/time.h"
#include "providerTestUtil.h"
#include "stats/providers/procParsers.h"

namespace Stats {
namespace Providers {
namespace {

using Testing::Fixture;
using Testing::RecordingResult;
using Values = std::map<std::string, int64_t>;

const int64_t kTick = 1000000 / ::sysconf(_SC_CLK_TCK);  // microseconds per clock tick

using Harness = Testing::LinuxHarness;
using Testing::ReadLines;

std::string CatalogueLine(const StatDef& d) {
  std::ostringstream out;
  out << d.GetProviderId() << "|" << d.GetName() << "|" << MakeStatKey(d) << "|" << d.GetStatType() << " "
      << d.GetUnit() << " " << d.GetAuxCode() << "|" << StatTransformName(d.GetTransform()) << "|"
      << StatCookingName(d.GetCooking()) << "|";
  if (d.IsSource()) {
    out << "-1|-1|";
  } else {
    out << (d.IsAggregation() ? StatAggregationName(d.GetFunction()) : StatFormulaName(d.GetFunction()))
        << "|" << (d.IsAggregation() ? d.GetAggregatedAttribute() : -1) << "|";
    for (size_t i = 0; i < d.GetSources().size(); ++i) {
      const auto& s = d.GetSources()[i];
      EXPECT_TRUE(s.label.empty()) << d.GetName();
      out << (i ? "," : "") << s.providerId;
    }
  }
  out << "|" << d.GetScale().numerator() << "/" << d.GetScale().denominator();
  return out.str();
}

TEST(LinuxStatsProviderTest, RegistersTheCatalogueInOrder) {
  Harness h(Fixture("proc/vm-6.18"));
  const auto got = h.registry.Registered();
  const auto want = ReadLines(Fixture("registration/linux.registration.golden"));
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "registration " << i;
  // Values flow through the registered handler: registry id 82 is mem.physical.host.
  RecordingResult result;
  h.registry.registry->GetStatValues({MakeStatInstance(82, {})}, result);
  EXPECT_EQ(result.ByInstance(), (Values{{"", 24683784LL * 1024}}));

  const StatDefList defs = MakeLinuxStatCatalog();
  const auto fields = ReadLines(Fixture("registration/linux.catalogue.golden"));
  ASSERT_EQ(defs.size(), fields.size());
  for (size_t i = 0; i < defs.size(); ++i) {
    // The scale is written as in the table (1000/1024); the value type keeps it reduced.
    const size_t bar = fields[i].rfind('|');
    const size_t slash = fields[i].rfind('/');
    const StatValue scale(std::stoll(fields[i].substr(bar + 1, slash - bar - 1)), std::stoll(fields[i].substr(slash + 1)));
    const std::string want = fields[i].substr(0, bar + 1) + std::to_string(scale.numerator()) + "/" +
                             std::to_string(scale.denominator());
    EXPECT_EQ(CatalogueLine(*defs[i]), want) << "definition " << i;
  }
}

TEST(LinuxStatsProviderTest, RefusedRegistrationAnswersNothing) {
  Harness first(Fixture("proc/vm-6.18"));
  // The same labels again: the registry refuses the second provider whole.
  auto second = Kestrix::MakeRef<LinuxStatsProvider>(ProcessSelectorList{}, StatAttributeMapperRef(),
                                                     Fixture("proc/vm-6.18"));
  second->RegisterStats(first.registry.registry);
  RecordingResult result;
  second->GetLinuxStatValues({MakeStatInstance(82, {})}, result);
  EXPECT_TRUE(result.values.empty());
}

TEST(LinuxStatsProviderTest, CurrentKernelValuesByKey) {
  Harness h(Fixture("proc/vm-6.18"));
  EXPECT_TRUE(h.provider->HasMemAvailable());
  const std::pair<const char*, int64_t> host[] = {
      {"mem.physical", 24683784LL * 1024},   {"mem.physical.free", 24223140LL * 1024},
      {"mem.buffers", 924LL * 1024},         {"mem.mapped", 11072LL * 1024},
      {"mem.kernel.stack", 1908LL * 1024},   {"mem.vmalloc", 34359738367LL * 1024},
      {"mem.high", -1},                      {"mem.mapped.copy", -1},
      {"cpu.count", 2},                      {"cpu.used.user", 13682 * kTick},
      {"cpu.steal", 1181 * kTick},           {"sys.load.1min", 16},
      {"sys.load.15min", 6},                 {"tasks.total", 0},
      {"cpu.usage.user", -1},  // derived: never produced by the provider
  };
  for (const auto& [name, want] : host) EXPECT_EQ(h.Host(name), want) << name;
  EXPECT_EQ(h.Get("cpu.used.user.pCPU"), (Values{{"0", 5846 * kTick}, {"1", 7836 * kTick}}));
  EXPECT_EQ(h.Get("cpu.frequency.pCPU"), (Values{{"0", 2445406}, {"1", 2445406}}));
  EXPECT_EQ(h.Get("disk.reading.disk"), (Values{{"loop0", 0}, {"loop1", 0}, {"loop2", 0}, {"loop3", 0},
                                                 {"loop4", 0}, {"loop5", 0}, {"loop6", 0}, {"loop7", 0},
                                                 {"vda", 22225000}, {"zram0", 0}}));
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), (Values{{"eth0", 25533784}, {"ifb0", 0}, {"ifb1", 0}, {"lo", 425297}}));
}

TEST(LinuxStatsProviderTest, OlderKernelWithoutMemAvailable) {
  Kestrix::System::TestClock clock(1, 1400000000ULL * 1000000 + 5000000);
  Kestrix::System::ScopedTestClock scoped(clock);
  Harness h(Fixture("proc/linux-3.10"));
  EXPECT_FALSE(h.provider->HasMemAvailable());
  // Every memory statistic of the 3.10 layout, in kB as written there.
  const std::pair<const char*, int64_t> kb[] = {
      {"mem.physical", 2048000},  {"mem.physical.free", 1024000}, {"mem.buffers", 1000},
      {"mem.cached", 2000},       {"mem.swap.cached", 3000},      {"mem.active", 4000},
      {"mem.inactive", 5000},     {"mem.active.anon", 6000},      {"mem.inactive.anon", 7000},
      {"mem.active.file", 8000},  {"mem.inactive.file", 9000},    {"mem.unevictable", 10},
      {"mem.mlocked", 11},        {"mem.swap", 12000},            {"mem.swap.free", 13000},
      {"mem.dirty", 14},          {"mem.writeback", 15},          {"mem.anonpages", 16000},
      {"mem.mapped", 17000},      {"mem.shared", 18000},          {"mem.kernel.slab", 19000},
      {"mem.kernel.slab.reclaimable", 20000}, {"mem.kernel.slab.unreclaimable", 21000},
      {"mem.kernel.stack", 22},   {"mem.vmalloc", 34359738367},   {"mem.vmalloc.used", 26000},
      {"mem.vmalloc.chunk", 34359700000},
  };
  for (const auto& [name, want] : kb) EXPECT_EQ(h.Host(name), want * 1024) << name;
  const std::pair<const char*, int64_t> host[] = {
      {"sys.uptime", 5000000},  // btime found by key after a short intr line
      {"sys.load.1min", 57},    {"sys.load.5min", 125}, {"sys.load.15min", 200},
      {"cpu.used.user", 250 * kTick}, {"cpu.idle", 90000 * kTick}, {"cpu.count", 2},
  };
  for (const auto& [name, want] : host) EXPECT_EQ(h.Host(name), want) << name;
  EXPECT_EQ(h.Get("cpu.frequency.pCPU"), (Values{{"0", 2394454}, {"1", 2000000}}));
  EXPECT_EQ(h.Get("disk.reading.disk"), (Values{{"dm-0", 50000}, {"sda", 700000}}));
  EXPECT_EQ(h.Get("disk.io.weighted.disk.disk", {"*", "*"}), (Values{{"sda,sda1", 850000}}));
  EXPECT_EQ(h.Get("net.tx.carrier.errors.pNIC"), (Values{{"eth0", 11}, {"lo", 0}}));
}

TEST(LinuxStatsProviderTest, LargeHostKeysCpusByNumber) {
  Harness h(Fixture("proc/large-host"));
  EXPECT_EQ(h.Host("cpu.count"), 31);
  EXPECT_EQ(h.Host("cpu.used.user"), 31493 * kTick);  // sum of 1000 + n over the 31 online CPUs
  EXPECT_GT(h.Host("sys.uptime"), 0);                 // btime after a 6 kB intr line
  const Values freq = h.Get("cpu.frequency.pCPU");
  ASSERT_EQ(freq.size(), 31u);
  EXPECT_EQ(freq.count("3"), 0u);  // offline
  const std::pair<const char*, int64_t> byCpu[] = {{"2", 2200000}, {"4", 2000000}, {"5", 2100000}, {"31", 2300000}};
  for (const auto& [cpu, khz] : byCpu) EXPECT_EQ(freq.at(cpu), khz) << "cpu" << cpu;
  EXPECT_EQ(h.Get("cpu.used.system.pCPU", {"31"}), (Values{{"31", 531 * kTick}}));
  // Reported in ascending CPU number.
  RecordingResult result;
  h.provider->GetLinuxStatValues({MakeStatInstance(h.registry.Id("cpu.idle.pCPU"), {"*"})}, result);
  ASSERT_EQ(result.values.size(), 31u);
  EXPECT_EQ(result.values[9].attributes, AttributeValues{"10"});
  EXPECT_EQ(result.values[9].value, 100010 * kTick);

  // Line k of diskstats holds k * 1000 + column; nvme0n1p1 and dm-0 are whole disks.
  EXPECT_EQ(h.Get("disk.reads.disk"), (Values{{"dm-0", 7001}, {"dm-1", 8001}, {"md127", 9001}, {"nvme0n1", 1001},
                                              {"nvme0n1p1", 2001}, {"nvme0n1p2", 3001}, {"sda", 4001},
                                              {std::string(80, 'x'), 10001}}));
  EXPECT_EQ(h.Get("disk.writing.disk.disk", {"*", "*"}), (Values{{"sda,sda1", 5008000}, {"sda,sda2", 6008000}}));
  EXPECT_EQ(h.Get("disk.writing.disk.disk", {"sda", "sda2"}), (Values{{"sda,sda2", 6008000}}));
  EXPECT_EQ(h.Get("disk.reads.disk", {"md127"}), (Values{{"md127", 9001}}));
  EXPECT_EQ(h.Get("disk.reads.disk", {"sda1"}), Values{});           // a partition, not a disk
  EXPECT_EQ(h.Get("disk.reads.disk.disk", {"*"}), Values{});         // wrong shape
  EXPECT_EQ(h.Get("net.tx.bytes.pNIC"), (Values{{"br-lan.100", 300009}, {"eth0", 200009}, {"if-odd!%$\u00fc", 500009},
                                                {"lo", 100009}, {"wg@x#1", 400009}}));
  EXPECT_EQ(h.Get("net.rx.packets.pNIC", {"wg@x#1"}), (Values{{"wg@x#1", 400002}}));
  EXPECT_EQ(h.Get("net.rx.packets.pNIC", {"nope"}), Values{});
}

TEST(LinuxStatsProviderTest, HostileFilesLeaveOnlyTheirFieldsAbsent) {
  Harness h(Fixture("proc/hostile"));
  const std::pair<const char*, int64_t> host[] = {
      {"mem.physical", -1}, {"mem.physical.free", -1}, {"mem.buffers", -1}, {"mem.cached", -1},
      {"mem.dirty", 7 * 1024}, {"mem.writeback", -1}, {"mem.mapped", -1}, {"mem.shared", 3 * 1024},
      {"mem.swap", 8 * 1024}, {"cpu.used.user", -1}, {"cpu.count", 1}, {"sys.load.1min", -1},
  };
  for (const auto& [name, want] : host) EXPECT_EQ(h.Host(name), want) << name;
  EXPECT_EQ(h.Get("cpu.used.nice.pCPU"), (Values{{"0", 2 * kTick}}));
  EXPECT_EQ(h.Get("cpu.frequency.pCPU"), Values{});
  EXPECT_EQ(h.Get("disk.reads.disk"), (Values{{std::string(100, 'n'), 1}}));
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), (Values{{"good", 1}}));
}

// A writable copy of a fixture tree, for tests that change files between passes.
struct TreeCopy {
  explicit TreeCopy(const std::string& fixture) {
    std::filesystem::copy(Fixture(fixture), dir.Path(),
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  }
  void Write(const std::string& file, const std::string& text) { std::ofstream(dir.Path() + "/" + file) << text; }
  Testing::TempDir dir;
};

TEST(LinuxStatsProviderTest, EntriesFollowTheFiles) {
  TreeCopy tree("proc/linux-3.10");
  Harness h(tree.dir.Path());
  tree.Write("stat", "cpu  1 1 1 1 1 1 1 1\ncpu0 1 1 1 1 1 1 1 1\ncpu2 2 2 2 2 2 2 2 2\nbtime 1\n");
  EXPECT_EQ(h.Get("cpu.used.user.pCPU"), (Values{{"0", kTick}, {"2", 2 * kTick}}));
  EXPECT_EQ(h.Get("cpu.frequency.pCPU"), (Values{{"0", 2394454}}));  // processor 1 is offline now
  tree.Write("stat", "cpu  1 1 1 1 1 1 1 1\ncpu0 1 1 1 1 1 1 1 1\ncpu1 3 3 3 3 3 3 3 3\ncpu2 2 2 2 2 2 2 2 2\n");
  RecordingResult back;  // the CPU that came back is one entry, in number order
  h.provider->GetLinuxStatValues({MakeStatInstance(h.registry.Id("cpu.used.user.pCPU"), {"*"})}, back);
  ASSERT_EQ(back.values.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(back.values[i].attributes, AttributeValues{std::to_string(i)});
  EXPECT_EQ(back.ByInstance(), (Values{{"0", kTick}, {"1", 3 * kTick}, {"2", 2 * kTick}}));
  EXPECT_EQ(h.Host("sys.uptime"), -1);

  tree.Write("net/dev", "h\nh\n  eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n");
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), (Values{{"eth0", 1}}));
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC", {"lo"}), Values{});
  std::filesystem::remove(tree.dir.Path() + "/diskstats");
  EXPECT_EQ(h.Get("disk.reads.disk"), Values{});

  tree.Write("stat", "");
  EXPECT_EQ(h.Host("cpu.count"), -1);
  EXPECT_EQ(h.Host("sys.load.1min"), -1);  // an unreadable stat file skips the load averages
}

TEST(LinuxStatsProviderTest, UnregisteredOrDerivedRequestsAreSkipped) {
  Harness h(Fixture("proc/linux-3.10"));
  RecordingResult result;
  h.provider->GetLinuxStatValues({MakeStatInstance(9999, {}), MakeStatInstance(h.registry.Id("mem.swap.used.host"), {}),
                                  MakeStatInstance(h.registry.Id("mem.swap.host"), {})},
                                 result);
  ASSERT_EQ(result.values.size(), 1u);
  EXPECT_EQ(result.values[0].value, 12000 * 1024);
  EXPECT_EQ(result.values[0].def->GetName(), "mem.swap");
}

TEST(LinuxStatsProviderTest, TickFactorNeedsAPositiveClockRate) {
  EXPECT_EQ(MicrosPerTick(100), 10000u);
  EXPECT_EQ(MicrosPerTick(1024), 976u);
  for (long bad : {0L, -1L, 2000000L}) {
    try {
      MicrosPerTick(bad);
      ADD_FAILURE() << bad;
    } catch (const Kestrix::InvalidStateException& e) {
      EXPECT_NE(std::string(e.what()).find("sysconf(_SC_CLK_TCK)"), std::string::npos) << e.what();
    }
  }
}

TEST(LinuxStatsProviderTest, LiveValuesEqualTheKernels) {
  Harness h("/proc");
  int64_t memTotal = -1, cpuLines = 0;
  std::set<std::string> interfaces, got;
  for (const auto& line : ReadLines("/proc/meminfo"))
    if (line.rfind("MemTotal:", 0) == 0) memTotal = std::stoll(line.substr(9));
  for (const auto& line : ReadLines("/proc/stat"))
    cpuLines += line.size() > 3 && line.compare(0, 3, "cpu") == 0 && std::isdigit(static_cast<unsigned char>(line[3]));
  for (const auto& line : ReadLines("/proc/net/dev"))
    if (line.find(':') != std::string::npos) interfaces.insert(std::string(TrimBlanks(line.substr(0, line.find(':')))));
  EXPECT_EQ(h.Host("mem.physical"), memTotal * 1024);
  EXPECT_EQ(h.Host("cpu.count"), cpuLines);
  for (const auto& [name, value] : h.Get("net.rx.bytes.pNIC")) got.insert(name);
  EXPECT_EQ(got, interfaces);
  EXPECT_FALSE(interfaces.empty());
}

}  // namespace
}  // namespace Providers
}  // namespace Stats
