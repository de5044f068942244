#include "stats/providers/linuxStatsProviderImpl.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "kestrix/assert.h"
#include "kestrix/exception.h"
#include "kestrix/time.h"
#include "stats/providers/procParsers.h"

namespace Stats {
namespace Providers {
namespace {

using Ids = LinuxStatIds;

struct MeminfoKey {
  std::string_view key;
  int64_t id;
};

// Sorted by key (byte order) for binary search; keys not listed are ignored.
constexpr MeminfoKey kMeminfoKeys[] = {
    {"Active", 86},        {"Active(anon)", 87},   {"Active(file)", 88},    {"AnonPages", 105},
    {"Buffers", 84},       {"Cached", 85},         {"Dirty", 95},           {"Inactive", 89},
    {"Inactive(anon)", 90}, {"Inactive(file)", 91}, {"KernelStack", 110},    {"Mapped", 103},
    {"MemFree", 83},       {"MemTotal", 82},       {"Mlocked", 98},         {"SReclaimable", 108},
    {"SUnreclaim", 109},   {"Shmem", 106},         {"Slab", 107},           {"SwapCached", 94},
    {"SwapFree", 93},      {"SwapTotal", 92},      {"Unevictable", 97},     {"VmallocChunk", 113},
    {"VmallocTotal", 111}, {"VmallocUsed", 112},   {"Writeback", 96},
};

int64_t MeminfoId(std::string_view key) {
  const auto it = std::lower_bound(std::begin(kMeminfoKeys), std::end(kMeminfoKeys), key,
                                   [](const MeminfoKey& k, std::string_view v) { return k.key < v; });
  return it != std::end(kMeminfoKeys) && it->key == key ? it->id : -1;
}

// Diskstats columns holding milliseconds (time reading, writing, doing I/O, weighted).
constexpr size_t kDiskTimeColumns[] = {3, 7, 9, 10};

// Reportable: not the absent marker, and representable as the signed 64-bit
// value that results take (a larger counter would turn negative).
bool Reportable(uint64_t value) { return value <= static_cast<uint64_t>(INT64_MAX); }

void Add(StatsResult& result, int64_t statId, const StatDefRef& def, const AttributeValues& values,
         uint64_t value) {
  if (Reportable(value)) result.AddValue(statId, def, values, static_cast<int64_t>(value));
}

// IsWildcard: the value is exactly "*" (Wildcard), without a strlen per test.
bool IsWildcard(const std::string& value) { return value.size() == 1 && value[0] == '*'; }

// ParseNumber reads a CPU number or pid given in a request: digits only.
bool ParseNumber(const std::string& text, uint32_t& number) {
  uint64_t v = 0;
  if (!ParseUnsigned(text, v) || v > UINT32_MAX) return false;
  number = static_cast<uint32_t>(v);
  return true;
}

// SweepUnseen removes the entries that the last read did not list.
template <class Map>
void SweepUnseen(Map& map) {
  for (auto it = map.begin(); it != map.end();) it = it->second.seen ? std::next(it) : map.erase(it);
}

}  // namespace

uint64_t MicrosPerTick(long ticksPerSecond) {
  if (ticksPerSecond <= 0 || ticksPerSecond > 1000000)
    throw Kestrix::InvalidStateException("sysconf(_SC_CLK_TCK) returned " +
                                         std::to_string(ticksPerSecond) +
                                         ": clock ticks per second must be between 1 and 1000000");
  return 1000000 / static_cast<uint64_t>(ticksPerSecond);
}

LinuxStatsProvider::LinuxStatsProvider(const ProcessSelectorList& selectors,
                                       StatAttributeMapperRef chained, const std::string& procRoot,
                                       InterfaceIndexFn interfaceIndex)
    : StatsProviderBase("Linux"),
      chained_(std::move(chained)),
      microsPerTick_(MicrosPerTick(::sysconf(_SC_CLK_TCK))),
      reader_(procRoot),
      interfaceIndex_(std::move(interfaceIndex)),
      processes_(selectors, GetLogger()) {
  KESTRIX_VERIFY(std::is_sorted(std::begin(kMeminfoKeys), std::end(kMeminfoKeys),
                                [](const MeminfoKey& a, const MeminfoKey& b) { return a.key < b.key; }));
  systemValues_.fill(kAbsent);
  // Any socket answers SIOCGIFINDEX; a local one needs no network protocol.
  if (!interfaceIndex_) indexSocket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string_view text;
  if (reader_.Read("meminfo", text)) {
    MeminfoCursor cursor(text);
    MeminfoLine line;
    while (!memAvailable_ && cursor.Next(line)) memAvailable_ = line.key == "MemAvailable";
  }
}

LinuxStatsProvider::~LinuxStatsProvider() {
  if (indexSocket_ >= 0) ::close(indexSocket_);
}

// StatsProvider

void LinuxStatsProvider::RegisterStats(const StatsRegistryRef& registry) {
  const StatsRegistryRef reg = registry ? registry : GetDefaultRegistry();
  if (!reg) {
    KLOG(GetLogger(), ERROR, "Unable to find default stats registry");
    throw Kestrix::InvalidStateException("Unable to find default stats registry");
  }
  const StatDefList defs = MakeLinuxStatCatalog();
  for (const auto& def : defs) {
    const int64_t id = def->GetProviderId();
    const auto at = [id](int64_t first) { return static_cast<size_t>(id - first); };
    if (id < Ids::kCpuFirst) processDefs_[at(Ids::kProcessFirst)] = def;
    else if (id < Ids::kPartitionFirst) cpuDefs_[at(Ids::kCpuFirst)] = def;
    else if (id < Ids::kInterfaceFirst) diskDefs_[at(Ids::kPartitionFirst)] = def;
    else if (id < Ids::kSystemFirst) interfaceDefs_[at(Ids::kInterfaceFirst)] = def;
    else if (id < Ids::kDerivedFirst) systemDefs_[at(Ids::kSystemFirst)] = def;
  }
  const Kestrix::Ref<LinuxStatsProvider> self(this);
  const GetStatValuesHandlerRef handler(new GetStatValuesHandlerImpl(
      Kestrix::MakeFunctor(self, &LinuxStatsProvider::GetLinuxStatValues),
      std::to_string(reinterpret_cast<uintptr_t>(static_cast<const void*>(this))) + "//GetLinuxStatValues",
      StatsProviderRef(self)));
  RegisterWithRegistry(reg, defs, registryToLocal_, nullptr, nullptr, handler);
  localByRegistry_.clear();
  if (!registryToLocal_.empty()) {
    const int64_t first = registryToLocal_.begin()->first;
    const uint64_t span = static_cast<uint64_t>(registryToLocal_.rbegin()->first) - static_cast<uint64_t>(first) + 1;
    if (span <= 2 * registryToLocal_.size() + 64) {
      firstRegistryId_ = first;
      localByRegistry_.assign(span, kUnregistered);
      for (const auto& [registryId, local] : registryToLocal_)
        localByRegistry_[static_cast<size_t>(registryId - first)] = local;
    }
  }
  KLOG(GetLogger(), INFO, "Registered %1 stats (sources:%2, derivatives:%3)", Ids::kCount,
       Ids::kSourceCount, Ids::kDerivedCount);
}

// StatAttributeMapper

void LinuxStatsProvider::MapAttributes(const std::vector<StatAttribute>& attributes,
                                       const AttributeValues& values, uint64_t selector,
                                       std::vector<std::string>& out) {
  if (selector == 0 && attributes.size() == 1 && attributes[0].type == 20) {
    uint32_t pid = 0;
    if (values.empty() || !ParseNumber(values[0], pid)) return;
    ProcessInfo* info = processes_.Find(pid);
    if (!info || info->RefreshValues(reader_, microsPerTick_) != ProcessInfo::Refresh::Read) return;
    out = {info->GetName(), info->GetCommandName(), info->GetCommandLine()};
    return;
  }
  if (chained_) chained_->MapAttributes(attributes, values, selector, out);
}

void LinuxStatsProvider::GetLinuxStatValues(const StatInstanceList& instances, StatsResult& result) {
  // Order matters: the memory reader resets every system value first.
  ReadMemory();
  ReadDisks();
  ReadCpus();
  ReadInterfaces();
  ReadProcesses();
  for (const auto& instance : instances) Report(*instance, result);
}

bool LinuxStatsProvider::ReadFile(const char* relative, std::string_view& text) {
  const bool read = reader_.Read(relative, text);
  const auto known = unreadable_.find(std::string_view(relative));
  if (!read && known == unreadable_.end()) {
    KLOG(GetLogger(), WARNING, "Unable to read %1/%2: %3; its values are left out until it can be read",
         reader_.GetRoot(), relative, std::strerror(reader_.LastError()));
    unreadable_.emplace(relative);
  } else if (read && known != unreadable_.end()) {
    KLOG(GetLogger(), INFO, "Read %1/%2 again", reader_.GetRoot(), relative);
    unreadable_.erase(known);
  }
  return read;
}

void LinuxStatsProvider::ReadMemory() {
  systemValues_.fill(kAbsent);
  std::string_view text;
  if (!ReadFile("meminfo", text)) return;
  MeminfoCursor cursor(text);
  MeminfoLine line;
  for (size_t position = 0; cursor.Next(line); ++position) {
    if (position == meminfoMemo_.size()) meminfoMemo_.emplace_back();
    auto& [key, id] = meminfoMemo_[position];
    if (key != line.key) {
      key.assign(line.key);
      id = MeminfoId(line.key);
    }
    if (id >= 0 && line.unit == "kB") SystemValue(id) = MultiplyOrAbsent(line.value, 1024);
  }
}

void LinuxStatsProvider::ReadDisks() {
  for (auto& [name, entry] : disks_) entry.seen = false;
  std::string_view text;
  if (ReadFile("diskstats", text)) {
    DiskstatsCursor cursor(text);
    DiskstatsLine line;
    while (cursor.Next(line)) {
      for (const size_t c : kDiskTimeColumns) line.values[c] = MultiplyOrAbsent(line.values[c], 1000);
      auto it = disks_.find(line.name);
      if (it == disks_.end()) {
        // A partition is a name whose digit-stripped prefix is a disk seen
        // before it; the classification sticks while the name is listed.
        const std::string_view parent = DiskParentName(line.name);
        DiskEntry entry;
        if (disks_.count(parent) != 0) entry.attributeValues = {std::string(parent), std::string(line.name)};
        else entry.attributeValues = {std::string(line.name)};
        it = disks_.emplace(std::string(line.name), std::move(entry)).first;
      }
      it->second.values = line.values;
      it->second.seen = true;
    }
  }
  SweepUnseen(disks_);
}

void LinuxStatsProvider::ReadCpus() {
  for (auto& entry : cpus_) entry.seen = false;
  std::string_view text;
  if (ReadFile("stat", text)) {
    if (text.empty()) {
      KLOG(GetLogger(), ERROR, "Unable to read /proc/stat file");
      cpus_.clear();
      return;  // and no load averages either
    }
    StatCursor cursor(text);
    StatLine line;
    uint64_t count = 0;
    while (cursor.Next(line)) {
      switch (line.kind) {
        case StatLine::CpuTotal:
          for (size_t i = 0; i < line.ticks.size(); ++i)
            SystemValue(Ids::kCpuTotalFirst + static_cast<int64_t>(i)) = MultiplyOrAbsent(line.ticks[i], microsPerTick_);
          break;
        case StatLine::Cpu: {
          ++count;
          CpuEntry* found = FindCpu(line.cpu);
          if (!found) {
            const auto at = std::lower_bound(cpus_.begin(), cpus_.end(), line.cpu,
                                             [](const CpuEntry& e, uint32_t n) { return e.number < n; });
            found = &*cpus_.insert(at, CpuEntry{line.cpu, {std::to_string(line.cpu)}, {}, false});
          }
          CpuEntry& entry = *found;
          for (size_t i = 0; i < line.ticks.size(); ++i)
            entry.values[i] = MultiplyOrAbsent(line.ticks[i], microsPerTick_);
          entry.values[8] = kAbsent;
          entry.seen = true;
          break;
        }
        case StatLine::BootTime: {
          const uint64_t now = Kestrix::System::GetUtcDateTime().GetUtcTime();
          const uint64_t boot = MultiplyOrAbsent(line.bootTime, 1000000);
          SystemValue(Ids::kUptime) = boot != kAbsent && now >= boot ? now - boot : kAbsent;
          break;
        }
      }
    }
    SystemValue(Ids::kCpuCountId) = count;
  }
  cpus_.erase(std::remove_if(cpus_.begin(), cpus_.end(), [](const CpuEntry& e) { return !e.seen; }), cpus_.end());
  if (ReadFile("cpuinfo", text)) {
    CpuinfoCursor cursor(text);
    CpuFrequency frequency;
    while (cursor.Next(frequency)) {
      CpuEntry* const entry = FindCpu(frequency.processor);
      if (!entry) continue;
      entry->values[8] = frequency.khz == 0 ? kAbsent : frequency.khz;
    }
  }
  ReadLoad();
}

LinuxStatsProvider::CpuEntry* LinuxStatsProvider::FindCpu(uint32_t number) {
  const auto at = std::lower_bound(cpus_.begin(), cpus_.end(), number,
                                   [](const CpuEntry& e, uint32_t n) { return e.number < n; });
  return at != cpus_.end() && at->number == number ? &*at : nullptr;
}

void LinuxStatsProvider::ReadLoad() {
  std::string_view text;
  std::array<uint64_t, 3> loads{};
  if (!ReadFile("loadavg", text) || !ParseLoadavg(text, loads)) return;
  for (size_t i = 0; i < loads.size(); ++i) SystemValue(Ids::kLoadFirst + static_cast<int64_t>(i)) = loads[i];
}

void LinuxStatsProvider::ReadInterfaces() {
  for (auto& [name, entry] : interfaces_) entry.seen = false;
  std::string_view text;
  if (ReadFile("net/dev", text)) {
    NetDevCursor cursor(text);
    NetDevLine line;
    while (cursor.Next(line)) {
      const uint64_t index = InterfaceIndex(line.name);
      auto it = interfaces_.find(line.name);
      if (it != interfaces_.end() && index != 0 && it->second.index != 0 && index != it->second.index) {
        // Another device took the name (renamed to it, or deleted and created
        // again) since the last read: its counters are not a continuation of
        // those, and a rate from the two would be made up. Left out of this
        // pass, it comes back in the next one as a new interface.
        continue;
      }
      if (it == interfaces_.end()) {
        InterfaceEntry entry;
        entry.attributeValues = {std::string(line.name)};
        it = interfaces_.emplace(std::string(line.name), std::move(entry)).first;
      }
      it->second.values = line.values;
      it->second.index = index;
      it->second.seen = true;
    }
  }
  SweepUnseen(interfaces_);
}

uint64_t LinuxStatsProvider::InterfaceIndex(std::string_view name) {
  if (interfaceIndex_) return interfaceIndex_(name);
  // One system call, where reading /sys/class/net/<name>/ifindex takes three
  // and costs several times more.
  struct ifreq request {};
  if (indexSocket_ < 0 || name.size() >= sizeof(request.ifr_name)) return 0;
  name.copy(request.ifr_name, name.size());
  if (::ioctl(indexSocket_, SIOCGIFINDEX, &request) != 0 || request.ifr_ifindex <= 0) return 0;
  return static_cast<uint64_t>(request.ifr_ifindex);
}

void LinuxStatsProvider::ReadProcesses() {
  if (!processes_.Enumerate(reader_)) return;  // task counts stay absent
  const TaskCounts c = processes_.Refresh(reader_, microsPerTick_);
  const uint64_t counts[] = {c.total, c.running, c.sleeping, c.blocked, c.stopped, c.zombie};
  for (size_t i = 0; i < 6; ++i) SystemValue(Ids::kTasksFirst + static_cast<int64_t>(i)) = counts[i];
}

int64_t LinuxStatsProvider::LocalId(int64_t registryId) const {
  if (!localByRegistry_.empty()) {
    const uint64_t i = static_cast<uint64_t>(registryId) - static_cast<uint64_t>(firstRegistryId_);
    return i < localByRegistry_.size() ? localByRegistry_[i] : kUnregistered;
  }
  const auto it = registryToLocal_.find(registryId);
  return it == registryToLocal_.end() ? kUnregistered : it->second;
}

void LinuxStatsProvider::Report(const StatInstance& instance, StatsResult& result) {
  const int64_t statId = instance.GetStatId();
  const int64_t id = LocalId(statId);
  if (id == kUnregistered) {
    KLOG(GetLogger(), ERROR, "Received request for not registered stat with registryStatId=%1", statId);
    return;
  }
  const AttributeValues& request = instance.GetAttributeValues();
  if (id >= Ids::kDerivedFirst || id < 0) return;  // derived: computed by the instance graph
  if (id >= Ids::kSystemFirst) {
    const size_t i = static_cast<size_t>(id - Ids::kSystemFirst);
    Add(result, statId, systemDefs_[i], noAttributes_, systemValues_[i]);
  } else if (id >= Ids::kInterfaceFirst) {
    ReportInterfaces(id, statId, request, result);
  } else if (id >= Ids::kPartitionFirst) {
    ReportDisks(id, statId, request, result);
  } else if (id >= Ids::kCpuFirst) {
    ReportCpus(id, statId, request, result);
  } else {
    ReportProcesses(id, statId, request, result);
  }
}

void LinuxStatsProvider::ReportCpus(int64_t id, int64_t statId, const AttributeValues& request,
                                    StatsResult& result) {
  if (request.size() != 1) return;
  const size_t i = static_cast<size_t>(id - Ids::kCpuFirst);
  if (IsWildcard(request[0])) {
    for (const auto& entry : cpus_) Add(result, statId, cpuDefs_[i], entry.attributeValues, entry.values[i]);
    return;
  }
  uint32_t number = 0;
  if (!ParseNumber(request[0], number)) return;
  if (const CpuEntry* entry = FindCpu(number)) Add(result, statId, cpuDefs_[i], entry->attributeValues, entry->values[i]);
}

void LinuxStatsProvider::ReportDisks(int64_t id, int64_t statId, const AttributeValues& request,
                                     StatsResult& result) {
  // Partition statistics take (disk, part), whole-disk ones (disk); a request
  // of another shape names no instance.
  const bool partition = id < Ids::kDiskFirst;
  const size_t arity = partition ? 2 : 1;
  if (request.size() != arity) return;
  const size_t column = static_cast<size_t>(id - (partition ? Ids::kPartitionFirst : Ids::kDiskFirst));
  const StatDefRef& def = diskDefs_[static_cast<size_t>(id - Ids::kPartitionFirst)];
  for (const auto& [name, entry] : disks_) {
    if (entry.attributeValues.size() != arity) continue;
    bool match = true;
    for (size_t k = 0; k < arity && match; ++k)
      match = IsWildcard(request[k]) || request[k] == entry.attributeValues[k];
    if (match) Add(result, statId, def, entry.attributeValues, entry.values[column]);
  }
}

void LinuxStatsProvider::ReportInterfaces(int64_t id, int64_t statId, const AttributeValues& request,
                                          StatsResult& result) {
  if (request.size() != 1) return;
  const size_t i = static_cast<size_t>(id - Ids::kInterfaceFirst);
  if (IsWildcard(request[0])) {
    for (const auto& [name, entry] : interfaces_)
      Add(result, statId, interfaceDefs_[i], entry.attributeValues, entry.values[i]);
    return;
  }
  const auto it = interfaces_.find(request[0]);
  if (it != interfaces_.end())
    Add(result, statId, interfaceDefs_[i], it->second.attributeValues, it->second.values[i]);
}

void LinuxStatsProvider::ReportProcesses(int64_t id, int64_t statId, const AttributeValues& request,
                                         StatsResult& result) {
  if (request.size() != 1) return;
  const StatDefRef& def = processDefs_[static_cast<size_t>(id)];
  if (IsWildcard(request[0])) {
    for (const auto& [pid, info] : processes_.GetProcesses())
      Add(result, statId, def, info->GetAttributeValues(), info->GetValue(id));
    return;
  }
  uint32_t pid = 0;
  if (!ParseNumber(request[0], pid)) return;
  if (const ProcessInfo* info = processes_.Find(pid))
    Add(result, statId, def, info->GetAttributeValues(), info->GetValue(id));
}

}  // namespace Providers
}  // namespace Stats
