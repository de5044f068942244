#include "stats/providers/linuxStatCatalog.h"

#include <initializer_list>
#include <vector>

#include "kestrix/assert.h"

namespace Stats {
namespace Providers {
namespace {

enum class Group { Process, Cpu, Partition, Disk, Interface, System };

std::vector<StatAttribute> AttributesOf(Group group) {
  const StatAttribute process{"process", 20, "", true};
  const StatAttribute cpu{"cpu", 7, "", true};
  const StatAttribute disk{"disk", 22, "", true};
  const StatAttribute part{"part", 22, "", true};
  const StatAttribute intf{"intf", 8, "", true};
  switch (group) {
    case Group::Process: return {process};
    case Group::Cpu: return {cpu};
    case Group::Partition: return {disk, part};
    case Group::Disk: return {disk};
    case Group::Interface: return {intf};
    case Group::System: return {};
  }
  return {};
}

constexpr uint32_t kRaw = static_cast<uint32_t>(StatTransform::Raw);
constexpr uint32_t kDelta = static_cast<uint32_t>(StatTransform::Delta);
constexpr uint32_t kNone = static_cast<uint32_t>(StatCooking::None);
constexpr uint32_t kDifference = static_cast<uint32_t>(StatCooking::Difference);
constexpr uint32_t kRate = static_cast<uint32_t>(StatCooking::Rate);
constexpr uint32_t kPerTime = static_cast<uint32_t>(StatCooking::PerTime);

struct SourceRow {
  int64_t id;
  const char* name;
  Group group;
  uint32_t statType, unit, auxCode;
  uint32_t transform, cooking;
  int64_t scaleNum, scaleDen;
};

// Sources in provider-id order; kSourceOrder gives the registration order.
const SourceRow kSources[] = {
    {0, "cpu.used.system", Group::Process, 1, 6, 1, kDelta, kNone, 1, 1000},
    {1, "cpu.used.user", Group::Process, 1, 6, 1, kDelta, kNone, 1, 1000},
    {2, "thread.num", Group::Process, 0, 4, 1, kRaw, kNone, 1, 1},
    {3, "mem.virtual", Group::Process, 0, 1, 4, kRaw, kNone, 1, 1024},
    {4, "mem.resident", Group::Process, 0, 1, 4, kRaw, kNone, 1, 1024},
    {5, "mem.text", Group::Process, 0, 1, 4, kRaw, kNone, 1, 1024},
    {6, "mem.data", Group::Process, 0, 1, 4, kRaw, kNone, 1, 1024},
    {7, "mem.shared", Group::Process, 0, 1, 4, kRaw, kNone, 1, 1024},
    {8, "fd.file.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {9, "fd.dir.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {10, "fd.link.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {11, "fd.fifo.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {12, "fd.socket.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {13, "fd.block.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {14, "fd.char.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {15, "fd.weird.num", Group::Process, 0, 4, 4, kRaw, kNone, 1, 1},
    {16, "cpu.used.user", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {17, "cpu.used.nice", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {18, "cpu.used.system", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {19, "cpu.idle", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {20, "cpu.iowait", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {21, "cpu.irq", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {22, "cpu.irqsoft", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {23, "cpu.steal", Group::Cpu, 1, 6, 1, kDelta, kNone, 1, 1000},
    {24, "cpu.frequency", Group::Cpu, 0, 3, 0, kRaw, kNone, 1, 1000},
    {25, "disk.reads", Group::Partition, 1, 4, 1, kDelta, kNone, 1, 1},
    {26, "disk.reads.merged", Group::Partition, 1, 4, 1, kDelta, kNone, 1, 1},
    {27, "disk.sectors.read", Group::Partition, 1, 4, 1, kDelta, kNone, 1, 1},
    {28, "disk.reading", Group::Partition, 1, 6, 1, kDelta, kNone, 1, 1000},
    {29, "disk.writes", Group::Partition, 1, 4, 1, kDelta, kNone, 1, 1},
    {30, "disk.writes.merged", Group::Partition, 1, 4, 1, kDelta, kNone, 1, 1},
    {31, "disk.sectors.written", Group::Partition, 1, 4, 1, kDelta, kNone, 1, 1},
    {32, "disk.writing", Group::Partition, 1, 6, 1, kDelta, kNone, 1, 1000},
    {33, "disk.io.number", Group::Partition, 0, 4, 1, kRaw, kNone, 1, 1},
    {34, "disk.io.time", Group::Partition, 1, 6, 1, kDelta, kNone, 1, 1000},
    {35, "disk.io.weighted", Group::Partition, 1, 6, 1, kDelta, kNone, 1, 1000},
    {36, "disk.reads", Group::Disk, 1, 4, 1, kDelta, kNone, 1, 1},
    {37, "disk.reads.merged", Group::Disk, 1, 4, 1, kDelta, kNone, 1, 1},
    {38, "disk.sectors.read", Group::Disk, 1, 4, 1, kDelta, kNone, 1, 1},
    {39, "disk.reading", Group::Disk, 1, 6, 1, kDelta, kNone, 1, 1000},
    {40, "disk.writes", Group::Disk, 1, 4, 1, kDelta, kNone, 1, 1},
    {41, "disk.writes.merged", Group::Disk, 1, 4, 1, kDelta, kNone, 1, 1},
    {42, "disk.sectors.written", Group::Disk, 1, 4, 1, kDelta, kNone, 1, 1},
    {43, "disk.writing", Group::Disk, 1, 6, 1, kDelta, kNone, 1, 1000},
    {44, "disk.io.number", Group::Disk, 0, 4, 1, kRaw, kNone, 1, 1},
    {45, "disk.io.time", Group::Disk, 1, 6, 1, kDelta, kNone, 1, 1000},
    {46, "disk.io.weighted", Group::Disk, 1, 6, 1, kDelta, kNone, 1, 1000},
    {47, "net.rx.bytes", Group::Interface, 1, 1, 4, kDelta, kNone, 1, 1024},
    {48, "net.rx.packets", Group::Interface, 1, 4, 4, kRaw, kDifference, 1, 1},
    {49, "net.rx.errors", Group::Interface, 0, 4, 4, kRaw, kDifference, 1, 1},
    {50, "net.rx.dropped", Group::Interface, 1, 4, 4, kDelta, kNone, 1, 1},
    {51, "net.rx.fifo.errors", Group::Interface, 0, 4, 4, kRaw, kNone, 1, 1},
    {52, "net.rx.frame.errors", Group::Interface, 0, 4, 4, kRaw, kNone, 1, 1},
    {53, "net.cslip.rx.compressed", Group::Interface, 0, 4, 4, kRaw, kDifference, 1, 1},
    {54, "net.rx.multicast", Group::Interface, 1, 4, 4, kDelta, kNone, 1, 1},
    {55, "net.tx.bytes", Group::Interface, 1, 1, 4, kDelta, kNone, 1, 1024},
    {56, "net.tx.packets", Group::Interface, 1, 4, 4, kRaw, kDifference, 1, 1},
    {57, "net.tx.errors", Group::Interface, 0, 4, 4, kRaw, kNone, 1, 1},
    {58, "net.tx.dropped", Group::Interface, 1, 4, 4, kDelta, kNone, 1, 1},
    {59, "net.tx.fifo.errors", Group::Interface, 0, 4, 4, kRaw, kNone, 1, 1},
    {60, "net.tx.collisions", Group::Interface, 1, 4, 4, kRaw, kDifference, 1, 1},
    {61, "net.tx.carrier.errors", Group::Interface, 0, 4, 4, kRaw, kNone, 1, 1},
    {62, "net.cslip.tx.compressed", Group::Interface, 0, 4, 4, kRaw, kDifference, 1, 1},
    {63, "cpu.used.user", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {64, "cpu.used.nice", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {65, "cpu.used.system", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {66, "cpu.idle", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {67, "cpu.iowait", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {68, "cpu.irq", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {69, "cpu.irqsoft", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {70, "cpu.steal", Group::System, 1, 6, 1, kDelta, kNone, 1, 1000},
    {71, "cpu.count", Group::System, 0, 4, 4, kRaw, kNone, 1, 1},
    {72, "sys.load.1min", Group::System, 0, 4, 1, kRaw, kNone, 1, 100},
    {73, "sys.load.5min", Group::System, 0, 4, 1, kRaw, kNone, 1, 100},
    {74, "sys.load.15min", Group::System, 0, 4, 1, kRaw, kNone, 1, 100},
    {75, "sys.uptime", Group::System, 0, 6, 4, kRaw, kNone, 1, 1000},
    {76, "tasks.total", Group::System, 0, 4, 4, kRaw, kNone, 1, 1},
    {77, "tasks.running", Group::System, 0, 4, 4, kRaw, kNone, 1, 1},
    {78, "tasks.sleeping", Group::System, 0, 4, 4, kRaw, kNone, 1, 1},
    {79, "tasks.blocked", Group::System, 0, 4, 4, kRaw, kNone, 1, 1},
    {80, "tasks.stopped", Group::System, 0, 4, 4, kRaw, kNone, 1, 1},
    {81, "tasks.zombie", Group::System, 0, 4, 4, kRaw, kNone, 1, 1},
    {82, "mem.physical", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {83, "mem.physical.free", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {84, "mem.buffers", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {85, "mem.cached", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {86, "mem.active", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {87, "mem.active.anon", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {88, "mem.active.file", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {89, "mem.inactive", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {90, "mem.inactive.anon", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {91, "mem.inactive.file", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {92, "mem.swap", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {93, "mem.swap.free", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {94, "mem.swap.cached", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {95, "mem.dirty", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {96, "mem.writeback", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {97, "mem.unevictable", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {98, "mem.mlocked", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {99, "mem.high", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {100, "mem.high.free", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {101, "mem.low", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {102, "mem.low.free", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {103, "mem.mapped", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {104, "mem.mapped.copy", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {105, "mem.anonpages", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {106, "mem.shared", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {107, "mem.kernel.slab", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {108, "mem.kernel.slab.reclaimable", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {109, "mem.kernel.slab.unreclaimable", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {110, "mem.kernel.stack", Group::System, 0, 1, 4, kRaw, kNone, 1, 1024},
    {111, "mem.vmalloc", Group::System, 0, 2, 4, kRaw, kNone, 1, 1048576},
    {112, "mem.vmalloc.used", Group::System, 0, 2, 4, kRaw, kNone, 1, 1048576},
    {113, "mem.vmalloc.chunk", Group::System, 0, 2, 4, kRaw, kNone, 1, 1048576},
};

// Registration order of the sources: per-process and per-CPU by id, disk
// fields in partition/whole-disk pairs, interface fields roughly rx/tx paired,
// system fields with the CPU soft-IRQ and steal times after the task counts.
const int64_t kSourceOrder[] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
    24, 25, 36, 26, 37, 27, 38, 28, 39, 29, 40, 30, 41, 31, 42, 32, 43, 33, 44, 34, 45, 35, 46, 47,
    55, 48, 56, 49, 57, 50, 58, 51, 59, 53, 62, 52, 54, 60, 61, 63, 64, 65, 66, 67, 68, 71, 72, 73,
    74, 75, 76, 77, 78, 79, 80, 81, 69, 70, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95,
    96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113,
};

enum class Kind { Formula, Aggregation };

struct DerivedRow {
  int64_t id;
  const char* name;
  Group group;
  Kind kind;
  int32_t function;  // StatFormula or StatAggregation
  std::initializer_list<int64_t> sources;
  uint32_t statType, unit, auxCode;
  uint32_t cooking;
  int64_t scaleNum, scaleDen;
};

constexpr int32_t F(StatFormula f) { return static_cast<int32_t>(f); }
constexpr int32_t A(StatAggregation a) { return static_cast<int32_t>(a); }
constexpr StatFormula kFirst = StatFormula::First;
constexpr StatFormula kSum = StatFormula::Sum;

// Derived statistics in provider-id order (also their registration order).
// Sources are in operand order.
const DerivedRow kDerived[] = {
    {114, "cpu.used", Group::Process, Kind::Formula, F(kSum), {0, 1}, 1, 6, 1, kNone, 1, 1000},
    {115, "cpu.usage", Group::Process, Kind::Formula, F(kFirst), {114}, 2, 0, 1, kPerTime, 100, 1},
    {116, "mem.used", Group::Process, Kind::Formula, F(kFirst), {4}, 0, 2, 1, kNone, 1, 1048576},
    {117, "mem.usage", Group::Process, Kind::Formula, F(StatFormula::Divide), {4, 82}, 2, 0, 1, kNone, 100, 1},
    {118, "mem.size", Group::Process, Kind::Formula, F(kFirst), {3}, 0, 2, 1, kNone, 1, 1048576},
    {119, "fd.files.num", Group::Process, Kind::Formula, F(kSum), {8, 9, 10}, 0, 4, 4, kNone, 1, 1},
    {120, "fd.channel.num", Group::Process, Kind::Formula, F(kSum), {11, 12}, 0, 4, 4, kNone, 1, 1},
    {121, "fd.device.num", Group::Process, Kind::Formula, F(kSum), {13, 14}, 0, 4, 4, kNone, 1, 1},
    {122, "fd.num", Group::Process, Kind::Formula, F(kSum), {119, 120, 121, 15}, 0, 4, 4, kNone, 1, 1},
    {123, "cpu.usage.user", Group::Cpu, Kind::Formula, F(kFirst), {16}, 2, 0, 1, kPerTime, 100, 1},
    {124, "cpu.usage.nice", Group::Cpu, Kind::Formula, F(kFirst), {17}, 2, 0, 1, kPerTime, 100, 1},
    {125, "cpu.usage.system", Group::Cpu, Kind::Formula, F(kFirst), {18}, 2, 0, 1, kPerTime, 100, 1},
    {126, "cpu.idlePct", Group::Cpu, Kind::Formula, F(kFirst), {19}, 2, 0, 1, kPerTime, 100, 1},
    {127, "cpu.iowaitRate", Group::Cpu, Kind::Formula, F(kFirst), {20}, 2, 0, 1, kPerTime, 100, 1},
    {128, "cpu.irqRate", Group::Cpu, Kind::Formula, F(kFirst), {21}, 2, 0, 1, kPerTime, 100, 1},
    {129, "cpu.irqsoftRate", Group::Cpu, Kind::Formula, F(kFirst), {22}, 2, 0, 1, kPerTime, 100, 1},
    {130, "cpu.stealRate", Group::Cpu, Kind::Formula, F(kFirst), {23}, 2, 0, 1, kPerTime, 100, 1},
    {131, "disk.read", Group::Partition, Kind::Formula, F(kFirst), {25}, 2, 14, 1, kPerTime, 1000, 1},
    {132, "disk.read", Group::Disk, Kind::Formula, F(kFirst), {36}, 2, 14, 1, kPerTime, 1000, 1},
    {133, "disk.write", Group::Partition, Kind::Formula, F(kFirst), {29}, 2, 14, 1, kPerTime, 1000, 1},
    {134, "disk.write", Group::Disk, Kind::Formula, F(kFirst), {40}, 2, 14, 1, kPerTime, 1000, 1},
    {135, "disk.latency", Group::Partition, Kind::Formula, F(StatFormula::Divide), {34, 33}, 2, 6, 1, kNone, 1, 1000},
    {136, "disk.latency", Group::Disk, Kind::Formula, F(StatFormula::Divide), {45, 44}, 2, 6, 1, kNone, 1, 1000},
    // Stored as KiB per millisecond although the unit code says kilobytes per
    // second: stored series and their readers rely on this scale.
    {137, "net.rx.activity", Group::Interface, Kind::Formula, F(kFirst), {47}, 2, 8, 1, kPerTime, 1000, 1024},
    {138, "net.tx.activity", Group::Interface, Kind::Formula, F(kFirst), {55}, 2, 8, 1, kPerTime, 1000, 1024},
    {139, "net.rx.packetRate", Group::Interface, Kind::Formula, F(kFirst), {48}, 2, 4, 4, kRate, 1, 1},
    {140, "net.tx.packetRate", Group::Interface, Kind::Formula, F(kFirst), {56}, 2, 4, 4, kRate, 1, 1},
    {141, "net.throughput", Group::Interface, Kind::Formula, F(kSum), {137, 138}, 1, 1, 1, kNone, 1, 1024},
    {142, "net.activity", Group::Interface, Kind::Formula, F(kFirst), {141}, 2, 8, 1, kPerTime, 1000, 1024},
    {143, "net.dropped", Group::Interface, Kind::Formula, F(kSum), {50, 58}, 1, 4, 1, kNone, 1, 1},
    {144, "net.fifo.errors", Group::Interface, Kind::Formula, F(kSum), {51, 59}, 1, 4, 1, kNone, 1, 1},
    {145, "net.rx.faults", Group::Interface, Kind::Formula, F(kSum), {49, 51, 52}, 1, 4, 1, kNone, 1, 1},
    {146, "net.tx.faults", Group::Interface, Kind::Formula, F(kSum), {57, 59, 61}, 1, 4, 1, kNone, 1, 1},
    {147, "net.faults", Group::Interface, Kind::Formula, F(kSum), {145, 146}, 1, 4, 1, kDifference, 1, 1},
    {148, "cpu.frequency", Group::System, Kind::Aggregation, A(StatAggregation::Average), {24}, 0, 3, 0, kNone, 1, 1000},
    {149, "cpu.totalfrequency", Group::System, Kind::Aggregation, A(StatAggregation::Sum), {24}, 0, 3, 0, kNone, 1, 1000},
    {150, "cpu.usage.user", Group::System, Kind::Formula, F(kFirst), {63}, 2, 0, 1, kPerTime, 100, 1},
    {151, "cpu.usage.nice", Group::System, Kind::Formula, F(kFirst), {64}, 2, 0, 1, kPerTime, 100, 1},
    {152, "cpu.usage.system", Group::System, Kind::Formula, F(kFirst), {65}, 2, 0, 1, kPerTime, 100, 1},
    {153, "cpu.idlePct", Group::System, Kind::Formula, F(kFirst), {66}, 2, 0, 1, kPerTime, 100, 1},
    {154, "cpu.iowaitRate", Group::System, Kind::Formula, F(kFirst), {67}, 2, 0, 1, kPerTime, 100, 1},
    {155, "cpu.irqRate", Group::System, Kind::Formula, F(kFirst), {68}, 2, 0, 1, kPerTime, 100, 1},
    {156, "cpu.irqsoftRate", Group::System, Kind::Formula, F(kFirst), {69}, 2, 0, 1, kPerTime, 100, 1},
    {157, "cpu.stealRate", Group::System, Kind::Formula, F(kFirst), {70}, 2, 0, 1, kPerTime, 100, 1},
    {158, "mem.physical.used", Group::System, Kind::Formula, F(StatFormula::Subtract), {82, 83, 84, 85}, 0, 1, 4, kNone, 1, 1024},
    {159, "mem.swap.used", Group::System, Kind::Formula, F(StatFormula::Subtract), {92, 93}, 0, 1, 4, kNone, 1, 1024},
    {160, "mem.vmalloc.free", Group::System, Kind::Formula, F(StatFormula::Subtract), {111, 112}, 0, 2, 4, kNone, 1, 1048576},
    {161, "cpu.usagemhz", Group::Process, Kind::Formula, F(StatFormula::Multiply), {115, 148}, 0, 3, 0, kPerTime, 1, 1000},
};

static_assert(sizeof(kSources) / sizeof(kSources[0]) == LinuxStatIds::kSourceCount, "one row per source");
static_assert(sizeof(kSourceOrder) / sizeof(kSourceOrder[0]) == LinuxStatIds::kSourceCount,
              "every source registered once");
static_assert(sizeof(kDerived) / sizeof(kDerived[0]) == LinuxStatIds::kDerivedCount, "one row per derivative");

}  // namespace

StatDefList MakeLinuxStatCatalog() {
  StatDefList defs;
  defs.reserve(LinuxStatIds::kCount);
  for (const int64_t id : kSourceOrder) {
    const SourceRow& r = kSources[id];
    KESTRIX_VERIFY(r.id == id);
    defs.push_back(StatDef::Source(r.id, r.name, AttributesOf(r.group), r.statType, r.unit, r.auxCode,
                                   r.transform, r.cooking, StatValue(r.scaleNum, r.scaleDen)));
  }
  for (const DerivedRow& r : kDerived) {
    std::vector<StatSourceRef> sources;
    for (const int64_t s : r.sources) sources.push_back(StatSourceRef{s, "", StatInfoRef()});
    const StatValue scale(r.scaleNum, r.scaleDen);
    if (r.kind == Kind::Aggregation) {
      defs.push_back(StatDef::Aggregation(r.id, r.name, AttributesOf(r.group), r.statType, r.unit,
                                          r.auxCode, 0, r.function, sources.front(), r.cooking, scale));
    } else {
      defs.push_back(StatDef::Derivative(r.id, r.name, AttributesOf(r.group), r.statType, r.unit,
                                         r.auxCode, r.function, std::move(sources), r.cooking, scale));
    }
  }
  return defs;
}

}  // namespace Providers
}  // namespace Stats
