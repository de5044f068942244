// LinuxStatsProvider: the provider of every raw Linux system statistic (CPU
// times and frequencies, memory, block devices, network interfaces, load,
// uptime, task counts and the figures of selected processes), read from a
// /proc tree on every request.
//
// Construct it with the process selectors (the service passes none), register
// its catalogue with `RegisterStats`, and the registry calls
// `GetLinuxStatValues` through the registered handler. Every call re-reads all
// files and reports raw cumulative counters and gauges; rates and percentages
// are derived by the instance graph. Not reentrant: one query at a time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "public/stats/statsProvider.h"
#include "stats/providers/linuxProcessStats.h"
#include "stats/providers/linuxStatCatalog.h"
#include "stats/providers/procFileReader.h"

namespace Stats {
namespace Providers {

/// MicrosPerTick returns 1,000,000 / ticksPerSecond (integer division), the
/// factor from clock ticks to microseconds. Throws
/// Kestrix::InvalidStateException naming sysconf(_SC_CLK_TCK) when
/// ticksPerSecond is not positive or above 1,000,000.
uint64_t MicrosPerTick(long ticksPerSecond);

/// InterfaceIndexFn returns the kernel's index of the named interface, or 0
/// when it is not known.
using InterfaceIndexFn = std::function<uint64_t(std::string_view name)>;

class LinuxStatsProvider : public StatsProviderBase, public virtual StatAttributeMapper {
public:
  /// Compiles the selectors (Kestrix::InvalidArgumentException when one does
  /// not compile), computes the tick factor (Kestrix::InvalidStateException
  /// when sysconf(_SC_CLK_TCK) is not positive) and opens procRoot. chained
  /// may be empty. interfaceIndex tells the kernel's index of an interface
  /// (0: not known), by which another device under a known name is told; when
  /// empty, the index is asked of the kernel for the service's own network
  /// namespace.
  LinuxStatsProvider(const ProcessSelectorList& selectors, StatAttributeMapperRef chained,
                     const std::string& procRoot = "/proc", InterfaceIndexFn interfaceIndex = {});
  ~LinuxStatsProvider() override;

  // StatsProvider
  /// RegisterStats registers the 162 statistics with registry (the default
  /// registry when empty) and fills the definition tables.
  void RegisterStats(const StatsRegistryRef& registry) override;

  // StatAttributeMapper
  /// MapAttributes describes a tracked process (selector 0, one attribute of
  /// type process): out = {selector name, command name, command line}.
  void MapAttributes(const std::vector<StatAttribute>& attributes, const AttributeValues& values,
                     uint64_t selector, std::vector<std::string>& out) override;

  /// GetLinuxStatValues refreshes every table, then reports the requested
  /// instances into result, in request order. The handler's entry point.
  void GetLinuxStatValues(const StatInstanceList& instances, StatsResult& result);

  /// HasMemAvailable: /proc/meminfo had a MemAvailable line at construction.
  /// Informational only: memory values are read by key.
  bool HasMemAvailable() const { return memAvailable_; }
  uint64_t GetMicrosPerTick() const { return microsPerTick_; }

private:
  struct CpuEntry {
    uint32_t number = 0;
    AttributeValues attributeValues;  // the CPU number in decimal
    std::array<uint64_t, LinuxStatIds::kCpuCount> values;
    bool seen = false;
  };
  struct DiskEntry {
    AttributeValues attributeValues;  // (disk) or (parent disk, partition)
    std::array<uint64_t, 11> values;
    bool seen = false;
  };
  struct InterfaceEntry {
    AttributeValues attributeValues;  // the interface name
    std::array<uint64_t, LinuxStatIds::kInterfaceCount> values;
    uint64_t index = 0;  // the kernel's interface index, 0 when not known
    bool seen = false;
  };

  // ReadFile reads one file of the tree. The first failure of a file is
  // logged, and its reading again once it succeeds: without them a host
  // whose /proc is missing or unreadable (a container or chroot without it)
  // would store no CPU, memory or network samples and say nothing.
  bool ReadFile(const char* relative, std::string_view& text);
  void ReadMemory();
  void ReadDisks();
  void ReadCpus();
  void ReadLoad();
  void ReadInterfaces();
  uint64_t InterfaceIndex(std::string_view name);
  void ReadProcesses();
  void Report(const StatInstance& instance, StatsResult& result);
  void ReportCpus(int64_t id, int64_t statId, const AttributeValues& request, StatsResult& result);
  void ReportDisks(int64_t id, int64_t statId, const AttributeValues& request, StatsResult& result);
  void ReportInterfaces(int64_t id, int64_t statId, const AttributeValues& request,
                        StatsResult& result);
  void ReportProcesses(int64_t id, int64_t statId, const AttributeValues& request,
                       StatsResult& result);
  uint64_t& SystemValue(int64_t id) { return systemValues_[static_cast<size_t>(id - LinuxStatIds::kSystemFirst)]; }

  const StatAttributeMapperRef chained_;
  const uint64_t microsPerTick_;
  ProcFileReader reader_;
  std::set<std::string, std::less<>> unreadable_;  // files whose last read failed, as logged
  const InterfaceIndexFn interfaceIndex_;
  int indexSocket_ = -1;  // for the kernel's interface indexes when interfaceIndex_ is empty
  ProcessTable processes_;
  bool memAvailable_ = false;

  std::map<int64_t, int64_t> registryToLocal_;
  // The same, as a table from firstRegistryId_ on when the ids are dense (as
  // the registry gives them); empty otherwise. kUnregistered marks a hole.
  static constexpr int64_t kUnregistered = INT64_MIN;
  int64_t LocalId(int64_t registryId) const;
  std::vector<int64_t> localByRegistry_;
  int64_t firstRegistryId_ = 0;
  // Meminfo keeps its line order from one read to the next: the key and id
  // found at each position last time, tried before the search.
  std::vector<std::pair<std::string, int64_t>> meminfoMemo_;
  const AttributeValues noAttributes_;
  std::array<StatDefRef, LinuxStatIds::kProcessCount> processDefs_;
  std::array<StatDefRef, LinuxStatIds::kCpuCount> cpuDefs_;
  std::array<StatDefRef, LinuxStatIds::kDiskCount> diskDefs_;
  std::array<StatDefRef, LinuxStatIds::kInterfaceCount> interfaceDefs_;
  std::array<StatDefRef, LinuxStatIds::kSystemCount> systemDefs_;
  std::array<uint64_t, LinuxStatIds::kSystemCount> systemValues_;

  CpuEntry* FindCpu(uint32_t number);
  std::vector<CpuEntry> cpus_;                               // in ascending CPU number
  std::map<std::string, DiskEntry, std::less<>> disks_;      // by name as read
  std::map<std::string, InterfaceEntry, std::less<>> interfaces_;
};
using LinuxStatsProviderRef = Kestrix::Ref<LinuxStatsProvider>;

}  // namespace Providers
}  // namespace Stats
