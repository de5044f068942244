// The Linux provider on captured /proc trees (two kernels, a large host, a
// hostile tree), on files changing between passes, and on the live /proc.
#include "stats/providers/linuxStatsProviderImpl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>

#include "kestrix/exception.h"
#include "kestrix/time.h"
#include "public/stats/statsQuery.h"
#include "providerTestUtil.h"
#include "stats/providers/procParsers.h"

namespace Stats {
namespace Providers {
namespace {

using Testing::Fixture;
using Testing::ReadLines;
using Testing::RecordingResult;
using Testing::Values;
using Harness = Testing::LinuxHarness;
using Table = std::vector<std::pair<const char*, int64_t>>;

const int64_t kTick = 1000000 / ::sysconf(_SC_CLK_TCK);  // microseconds per clock tick

/// ExpectHosts checks each system-wide statistic (-1: absent), scaled by factor.
void ExpectHosts(Harness& h, const Table& table, int64_t factor = 1) {
  for (const auto& [name, want] : table) EXPECT_EQ(h.Host(name), want < 0 ? want : want * factor) << name;
}

/// CatalogueLine is a definition in the golden's format, without the scale.
std::string CatalogueLine(const StatDef& d) {
  std::ostringstream out;
  out << d.GetProviderId() << "|" << d.GetName() << "|" << MakeStatKey(d) << "|" << d.GetStatType() << " "
      << d.GetUnit() << " " << d.GetAuxCode() << "|" << StatTransformName(d.GetTransform()) << "|"
      << StatCookingName(d.GetCooking()) << "|";
  if (d.IsSource()) return out.str() + "-1|-1|";
  out << (d.IsAggregation() ? StatAggregationName(d.GetFunction()) : StatFormulaName(d.GetFunction())) << "|"
      << (d.IsAggregation() ? d.GetAggregatedAttribute() : -1) << "|";
  for (size_t i = 0; i < d.GetSources().size(); ++i) {
    EXPECT_TRUE(d.GetSources()[i].label.empty()) << d.GetName();
    out << (i ? "," : "") << d.GetSources()[i].providerId;
  }
  return out.str();
}

TEST(LinuxStatsProviderTest, RegistersTheCatalogueInOrderOnce) {
  Harness h(Fixture("proc/vm-6.18"));
  EXPECT_EQ(h.registry.Registered(), ReadLines(Fixture("registration/linux.registration.golden")));
  const StatDefList defs = MakeLinuxStatCatalog();
  const auto fields = ReadLines(Fixture("registration/linux.catalogue.golden"));
  ASSERT_EQ(defs.size(), fields.size());
  for (size_t i = 0; i < defs.size(); ++i) {
    const size_t bar = fields[i].rfind('|'), slash = fields[i].rfind('/');
    EXPECT_EQ(CatalogueLine(*defs[i]), fields[i].substr(0, bar)) << "definition " << i;
    EXPECT_EQ(defs[i]->GetScale(), StatValue(std::stoll(fields[i].substr(bar + 1, slash - bar - 1)),
                                             std::stoll(fields[i].substr(slash + 1))))
        << "definition " << i;
  }
  // The same labels again: the registry refuses the second provider whole, which then answers nothing
  // (registry id 82 is mem.physical.host).
  auto second = Kestrix::MakeRef<LinuxStatsProvider>(ProcessSelectorList{}, StatAttributeMapperRef(),
                                                     Fixture("proc/vm-6.18"));
  second->RegisterStats(h.registry.registry);
  RecordingResult none;
  second->GetLinuxStatValues({MakeStatInstance(82, {})}, none);
  EXPECT_TRUE(none.values.empty());
}

TEST(LinuxStatsProviderTest, CurrentKernelValuesByKey) {
  Harness h(Fixture("proc/vm-6.18"));
  EXPECT_TRUE(h.provider->HasMemAvailable());
  ExpectHosts(h, {{"mem.physical", 24683784}, {"mem.physical.free", 24223140}, {"mem.buffers", 924},
                  {"mem.mapped", 11072}, {"mem.kernel.stack", 1908}, {"mem.vmalloc", 34359738367},
                  {"mem.high", -1}, {"mem.mapped.copy", -1}}, 1024);
  ExpectHosts(h, {{"cpu.count", 2}, {"cpu.used.user", 13682 * kTick}, {"cpu.steal", 1181 * kTick},
                  {"sys.load.1min", 16}, {"sys.load.15min", 6}, {"tasks.total", 0},
                  {"cpu.usage.user", -1}});  // derived: never produced by the provider
  EXPECT_EQ(h.Get("cpu.used.user.pCPU"), (Values{{"0", 5846 * kTick}, {"1", 7836 * kTick}}));
  EXPECT_EQ(h.Get("cpu.frequency.pCPU"), (Values{{"0", 2445406}, {"1", 2445406}}));
  Values disks{{"vda", 22225000}, {"zram0", 0}};
  for (int i = 0; i < 8; ++i) disks["loop" + std::to_string(i)] = 0;
  EXPECT_EQ(h.Get("disk.reading.disk"), disks);
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), (Values{{"eth0", 25533784}, {"ifb0", 0}, {"ifb1", 0}, {"lo", 425297}}));
}

TEST(LinuxStatsProviderTest, OlderKernelWithoutMemAvailable) {
  Kestrix::System::TestClock clock(1, 1400000000ULL * 1000000 + 5000000);
  Kestrix::System::ScopedTestClock scoped(clock);
  Harness h(Fixture("proc/linux-3.10"));
  EXPECT_FALSE(h.provider->HasMemAvailable());
  // Every memory statistic of the 3.10 layout, in kB as written there.
  ExpectHosts(h, {{"mem.physical", 2048000}, {"mem.physical.free", 1024000}, {"mem.buffers", 1000},
                  {"mem.cached", 2000}, {"mem.swap.cached", 3000}, {"mem.active", 4000}, {"mem.inactive", 5000},
                  {"mem.active.anon", 6000}, {"mem.inactive.anon", 7000}, {"mem.active.file", 8000},
                  {"mem.inactive.file", 9000}, {"mem.unevictable", 10}, {"mem.mlocked", 11}, {"mem.swap", 12000},
                  {"mem.swap.free", 13000}, {"mem.dirty", 14}, {"mem.writeback", 15}, {"mem.anonpages", 16000},
                  {"mem.mapped", 17000}, {"mem.shared", 18000}, {"mem.kernel.slab", 19000},
                  {"mem.kernel.slab.reclaimable", 20000}, {"mem.kernel.slab.unreclaimable", 21000},
                  {"mem.kernel.stack", 22}, {"mem.vmalloc", 34359738367}, {"mem.vmalloc.used", 26000},
                  {"mem.vmalloc.chunk", 34359700000}}, 1024);
  ExpectHosts(h, {{"sys.uptime", 5000000},  // btime found by key after a short intr line
                  {"sys.load.1min", 57}, {"sys.load.5min", 125}, {"sys.load.15min", 200},
                  {"cpu.used.user", 250 * kTick}, {"cpu.idle", 90000 * kTick}, {"cpu.count", 2}});
  EXPECT_EQ(h.Get("cpu.frequency.pCPU"), (Values{{"0", 2394454}, {"1", 2000000}}));
  EXPECT_EQ(h.Get("disk.reading.disk"), (Values{{"dm-0", 50000}, {"sda", 700000}}));
  EXPECT_EQ(h.Get("disk.io.weighted.disk.disk", {"*", "*"}), (Values{{"sda,sda1", 850000}}));
  EXPECT_EQ(h.Get("net.tx.carrier.errors.pNIC"), (Values{{"eth0", 11}, {"lo", 0}}));
  // Unregistered and derived requests are skipped; the rest is answered.
  RecordingResult result;
  h.provider->GetLinuxStatValues({MakeStatInstance(9999, {}), MakeStatInstance(h.registry.Id("mem.swap.used.host"), {}),
                                  MakeStatInstance(h.registry.Id("mem.swap.host"), {})},
                                 result);
  ASSERT_EQ(result.values.size(), 1u);
  EXPECT_EQ(result.values[0].value, 12000 * 1024);
  EXPECT_EQ(result.values[0].def->GetName(), "mem.swap");
}

TEST(LinuxStatsProviderTest, LargeHostKeysCpusByNumberAndOddNames) {
  Kestrix::System::TestClock clock(1, 1700000000ULL * 1000000 + 9000000);
  Kestrix::System::ScopedTestClock scoped(clock);
  Harness h(Fixture("proc/large-host"));
  ExpectHosts(h, {{"cpu.count", 31}, {"cpu.used.user", 31493 * kTick},  // sum of 1000 + n over the online CPUs
                  {"sys.uptime", 9000000}});                            // btime after a 6 kB intr line
  const Values freq = h.Get("cpu.frequency.pCPU");
  ASSERT_EQ(freq.size(), 31u);
  EXPECT_EQ(freq.count("3"), 0u);  // offline
  for (const auto& [cpu, khz] : Table{{"2", 2200000}, {"4", 2000000}, {"5", 2100000}, {"31", 2300000}})
    EXPECT_EQ(freq.at(cpu), khz) << "cpu" << cpu;
  EXPECT_EQ(h.Get("cpu.used.system.pCPU", {"31"}), (Values{{"31", 531 * kTick}}));
  RecordingResult result;  // reported in ascending CPU number
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
  EXPECT_EQ(h.Get("disk.reads.disk", {"sda1"}), Values{});    // a partition, not a disk
  EXPECT_EQ(h.Get("disk.reads.disk.disk", {"*"}), Values{});  // wrong shape
  EXPECT_EQ(h.Get("net.tx.bytes.pNIC"), (Values{{"br-lan.100", 300009}, {"eth0", 200009}, {"if-odd!%$\u00fc", 500009},
                                                {"lo", 100009}, {"wg@x#1", 400009}}));
  EXPECT_EQ(h.Get("net.rx.packets.pNIC", {"wg@x#1"}), (Values{{"wg@x#1", 400002}}));
  EXPECT_EQ(h.Get("net.rx.packets.pNIC", {"nope"}), Values{});
}

TEST(LinuxStatsProviderTest, HostileFilesLeaveOnlyTheirFieldsAbsent) {
  Harness h(Fixture("proc/hostile"));
  ExpectHosts(h, {{"mem.physical", -1}, {"mem.physical.free", -1}, {"mem.buffers", -1}, {"mem.cached", -1},
                  {"mem.dirty", 7}, {"mem.writeback", -1}, {"mem.mapped", -1}, {"mem.shared", 3}, {"mem.swap", 8}},
              1024);
  ExpectHosts(h, {{"cpu.used.user", -1}, {"cpu.count", 1}, {"sys.load.1min", -1}});
  EXPECT_EQ(h.Get("cpu.used.nice.pCPU"), (Values{{"0", 2 * kTick}}));
  EXPECT_EQ(h.Get("cpu.frequency.pCPU"), Values{});
  EXPECT_EQ(h.Get("disk.reads.disk"), (Values{{std::string(100, 'n'), 1}}));
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), (Values{{"good", 1}}));
}

TEST(LinuxStatsProviderTest, EntriesFollowTheFiles) {
  Testing::TempDir tree("proc/linux-3.10");
  Harness h(tree.Path());
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
  std::filesystem::remove(tree.Path("diskstats"));
  EXPECT_EQ(h.Get("disk.reads.disk"), Values{});
  tree.Write("stat", "");
  ExpectHosts(h, {{"cpu.count", -1}, {"sys.load.1min", -1}});  // an unreadable stat file skips the load averages
}

// A tree without its files (a container or chroot with no /proc mounted)
// would store nothing and say nothing: each file's failure is logged once,
// and its return.
TEST(LinuxStatsProviderTest, AnUnreadableFileIsLoggedOnceAndSoIsItsReturn) {
  Testing::TempDir tree("proc/linux-3.10");
  Testing::Logged logged;
  Harness h(tree.Path());
  std::filesystem::remove(tree.Path("net/dev"));
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), Values{});
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), Values{});
  tree.Write("net/dev", "h\nh\n  eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n");
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), (Values{{"eth0", 1}}));
  EXPECT_EQ(h.Get("net.rx.bytes.pNIC"), (Values{{"eth0", 1}}));
  std::vector<std::string> said;
  for (const auto& line : logged.Text())
    if (line.find("net/dev") != std::string::npos) said.push_back(line.substr(line.find(": ") + 2));
  EXPECT_EQ(said, (std::vector<std::string>{
                      "Unable to read " + tree.Path("net/dev") +
                          ": No such file or directory; its values are left out until it can be read",
                      "Read " + tree.Path("net/dev") + " again"}));
}

// Valid values a query writes for the pass at `now`, by interface name (an
// instance gone from the pass is written once more with its last timestamp).
class PassValues : public StatInstanceWriter, public StatInstanceAllocator, public Kestrix::ObjectImpl {
public:
  uint64_t Allocate(uint64_t, const AttributeValues& values) override {
    names_.push_back(values.at(0));
    return names_.size() - 1;
  }
  void Free(uint64_t) override {}
  void Write(uint64_t key, uint64_t timestamp, const StatValue* value, StatInstanceWriter*) override {
    if (timestamp == now && !IsInvalid(*value)) pass[names_.at(key)] = *value;
  }
  uint64_t now = 0;
  std::map<std::string, StatValue> pass;

private:
  std::vector<std::string> names_;
};

// A name that another device takes between two passes (a rename onto it, a
// deletion and re-creation) yields no rate from the two devices' counters:
// the name starts afresh as a new interface would, the others carry on, and
// an interface whose index cannot be read is rated as before.
TEST(LinuxStatsProviderTest, AnotherDeviceUnderAKnownNameStartsAfresh) {
  constexpr uint64_t kSecond = 1000000;
  Kestrix::System::TestClock clock(5 * kSecond, 1700000000 * kSecond);
  Kestrix::System::ScopedTestClock scoped(clock);
  Testing::TempDir tree("proc/linux-3.10");
  std::map<std::string, uint64_t, std::less<>> indexes;
  // Transmitted bytes per interface; every other column 0.
  auto netDev = [&](const std::vector<std::pair<std::string, uint64_t>>& tx) {
    std::string text = "h\nh\n";
    for (const auto& [name, bytes] : tx) text += name + ": 0 0 0 0 0 0 0 0 " + std::to_string(bytes) + " 0 0 0 0 0 0 0\n";
    tree.Write("net/dev", text);
  };
  Testing::Registry registry;
  auto provider = Kestrix::MakeRef<LinuxStatsProvider>(
      ProcessSelectorList(), StatAttributeMapperRef(), tree.Path(), [&](std::string_view name) -> uint64_t {
        const auto it = indexes.find(name);
        return it == indexes.end() ? 0 : it->second;
      });
  provider->RegisterStats(registry.registry);
  auto values = Kestrix::MakeRef<PassValues>();
  StatsQueryRef query = CreateQuery(values, values, 0, {}, registry.registry);
  query->Request({MakeStatInstance(registry.Id("net.tx.activity.pNIC"), {"*"})});
  auto pass = [&](const std::vector<std::pair<std::string, uint64_t>>& tx) {
    netDev(tx);
    values->pass.clear();
    values->now = Kestrix::System::GetUtcDateTime().GetUtcTime();
    query->Execute(false);
    clock.Advance(kSecond);
    return values->pass;
  };
  using Pass = std::map<std::string, StatValue>;
  const StatValue kib(1, 1000);  // 1,024 bytes in one second, in KiB per millisecond
  const uint64_t big = 10000000000;
  indexes = {{"eth0", 2}, {"small", 5}, {"big", 6}};
  pass({{"eth0", 0}, {"small", 1000}, {"big", big}, {"noindex", 0}});
  EXPECT_EQ(pass({{"eth0", 1024}, {"small", 2024}, {"big", big}, {"noindex", 1024}}),
            (Pass{{"eth0", kib}, {"small", kib}, {"big", StatValue(0)}, {"noindex", kib}}));
  // "big" is renamed "small", whose device is gone.
  indexes.erase("big");
  indexes["small"] = 6;
  EXPECT_EQ(pass({{"eth0", 2048}, {"small", big + 1024}, {"noindex", 2048}}), (Pass{{"eth0", kib}, {"noindex", kib}}));
  EXPECT_EQ(pass({{"eth0", 3072}, {"small", big + 2048}, {"noindex", 3072}}), (Pass{{"eth0", kib}, {"noindex", kib}}));
  EXPECT_EQ(pass({{"eth0", 4096}, {"small", big + 3072}, {"noindex", 4096}}),
            (Pass{{"eth0", kib}, {"small", kib}, {"noindex", kib}}));
  // eth0 is deleted and created again, and sends more than before within a pass.
  indexes["eth0"] = 9;
  EXPECT_EQ(pass({{"eth0", 8192}, {"small", big + 4096}, {"noindex", 5120}}), (Pass{{"small", kib}, {"noindex", kib}}));
  provider->UnregisterStats();
}

TEST(LinuxStatsProviderTest, OlderLayoutsKeepTheColumnsTheyHave) {
  Testing::TempDir tree("proc/linux-3.10");
  Harness h(tree.Path());
  // Before 2.6.25 a partition had 4 columns: reads, sectors read, writes, sectors written.
  tree.Write("diskstats", "   8 0 sda 1000 10 20000 700 500 5 8000 300 0 900 1000\n   8 1 sda1 900 18000 400 7000\n"
                          "   8 2 sda2 1 2 3 x\n   8 3 sda3 1 2 3 4 5\n");
  const Values none;
  const std::pair<const char*, Values> partitions[] = {
      {"disk.reads.disk.disk", {{"sda,sda1", 900}}},          {"disk.sectors.read.disk.disk", {{"sda,sda1", 18000}}},
      {"disk.writes.disk.disk", {{"sda,sda1", 400}}},         {"disk.sectors.written.disk.disk", {{"sda,sda1", 7000}}},
      {"disk.reads.merged.disk.disk", none},                  {"disk.reading.disk.disk", none},
      {"disk.io.weighted.disk.disk", none}};
  for (const auto& [label, want] : partitions) EXPECT_EQ(h.Get(label, {"*", "*"}), want) << label;
  EXPECT_EQ(h.Get("disk.reads.merged.disk"), (Values{{"sda", 10}}));
  // 2.4 wrote 4 tick columns, 2.5.41 added iowait, 2.6.0 irq and softirq,
  // 2.6.11 steal, later kernels guest and guest_nice.
  const char* const names[] = {"cpu.used.user", "cpu.used.nice", "cpu.used.system", "cpu.idle",
                               "cpu.iowait",    "cpu.irq",       "cpu.irqsoft",     "cpu.steal"};
  for (const size_t columns : {4, 5, 7, 8, 10}) {
    SCOPED_TRACE(std::to_string(columns) + " columns");
    std::string total = "cpu ", cpu1 = "cpu1";
    for (size_t c = 1; c <= columns; ++c) {
      total += " " + std::to_string(10 * c);
      cpu1 += " " + std::to_string(c);
    }
    tree.Write("stat", total + "\ncpu0 1 2 3 4 5 6 7 8 9 10\n" + cpu1 + "\nintr 1\nbtime 1\n");
    Table want{{"cpu.count", 2}};
    for (size_t c = 0; c < 8; ++c) want.emplace_back(names[c], c < columns ? int64_t(10 * (c + 1)) * kTick : -1);
    ExpectHosts(h, want);
    EXPECT_EQ(h.Get("cpu.idle.pCPU"), (Values{{"0", 4 * kTick}, {"1", 4 * kTick}}));
    const Values steal = columns < 8 ? Values{{"0", 8 * kTick}} : Values{{"0", 8 * kTick}, {"1", 8 * kTick}};
    EXPECT_EQ(h.Get("cpu.steal.pCPU"), steal);
  }
  tree.Write("stat", "cpu  1 2 3\ncpu0 1 2 3 4 5 6 garbage\ncpu1 1 2 3 4 5 6 7 8\n");  // too short, not a number
  ExpectHosts(h, {{"cpu.count", 1}, {"cpu.used.user", -1}});
}

TEST(LinuxStatsProviderTest, TickFactorNeedsAPositiveClockRate) {
  EXPECT_EQ(MicrosPerTick(100), 10000u);
  EXPECT_EQ(MicrosPerTick(1024), 976u);
  for (long bad : {0L, -1L, 2000000L})
    EXPECT_THAT([&] { MicrosPerTick(bad); },
                ::testing::ThrowsMessage<Kestrix::InvalidStateException>(::testing::HasSubstr("sysconf(_SC_CLK_TCK)")))
        << bad;
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
