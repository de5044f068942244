// Cost of one refresh of the Linux system provider.
//
// Goal: one full GetLinuxStatValues (every /proc file re-read and parsed, every
// source statistic requested with "*") costs at most 1.5 x the floor, a loop
// that only opens, reads and closes the same files and lists /proc, so that
// parsing costs less than reading. Also: the refresh on the large-host
// fixture (31 CPUs, a 6 kB intr line, 10 disks, 5 interfaces), against the
// same floor on that tree.
//
// Sample run (2 vCPUs, Linux 6.18, RelWithDebInfo, medians of
// `build/bin/bench_providers --benchmark_repetitions=5`, other builds running):
//   BM_FloorThisMachine       222970 ns wall   220086 ns CPU
//   BM_RefreshThisMachine     292456 ns wall   272585 ns CPU   values=238   (1.31x wall, 1.24x CPU)
//   BM_FloorLargeHost          60569 ns wall    58259 ns CPU
//   BM_RefreshLargeHost       162762 ns wall   102601 ns CPU   values=515   (1.76x CPU)
// On the large-host tree the files come from the page cache of a plain file
// system, so reading is cheap and the parsing share is larger than on /proc.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kestrix/log.h"
#include "stats/providers/linuxStatsProviderImpl.h"

namespace Stats {

namespace {

// Counts the values, as cheaply as a sink can.
class CountingResult : public StatsResult, public Kestrix::ObjectImpl {
public:
  void AddValue(int64_t, const AttributeValues&, int64_t) override { ++count; }
  void AddValue(const StatInstance&, int64_t) override { ++count; }
  void AddValue(int64_t, const StatDefRef&, const AttributeValues&, int64_t value) override {
    ++count;
    benchmark::DoNotOptimize(value);
  }
  void AddValue(const StatInfo&, const AttributeValues&, int64_t) override { ++count; }
  void FinishPass() override {}
  uint64_t GetValueCount() const override { return count; }
  uint64_t count = 0;
};

void Refresh(benchmark::State& state, const std::string& root) {
  auto provider = Kestrix::MakeRef<Providers::LinuxStatsProvider>(Providers::ProcessSelectorList{},
                                                                  StatAttributeMapperRef(), root);
  // The service's registry, quiet: its registration lines are verbose.
  auto logger = Kestrix::MakeRef<Kestrix::Service::Logger>("Bench", Kestrix::MakeRef<Kestrix::Service::LogSink>(),
                                                           Kestrix::Service::LOG_ERROR);
  const StatsRegistryRef registry = CreateRegistry(logger);
  provider->RegisterStats(registry);
  // What the service asks for: every statistic, "*" for every attribute.
  StatInfoList infos;
  registry->GetStatInfos(infos, 0);
  StatInstanceList request;
  for (const auto& info : infos)
    request.push_back(MakeStatInstance(info->GetRegistryId(),
                                       AttributeValues(info->GetDef()->GetAttributes().size(), "*")));
  CountingResult result;
  for (auto _ : state) {
    result.count = 0;
    provider->GetLinuxStatValues(request, result);
  }
  state.counters["values"] = static_cast<double>(result.count);
}

void Floor(benchmark::State& state, const std::string& root) {
  const char* const files[] = {"meminfo", "diskstats", "stat", "cpuinfo", "loadavg", "net/dev"};
  std::vector<char> buffer(1 << 16);
  const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (auto _ : state) {
    for (const char* f : files) {
      const int fd = ::openat(rootFd, f, O_RDONLY | O_CLOEXEC);
      while (::read(fd, buffer.data(), buffer.size()) > 0) {
      }
      ::close(fd);
    }
    DIR* dir = ::fdopendir(::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    while (const dirent* e = ::readdir(dir)) benchmark::DoNotOptimize(e);
    ::closedir(dir);
  }
  ::close(rootFd);
}

const std::string kLargeHost = std::string(TW_FIXTURES_DIR) + "/proc/large-host";

void BM_FloorThisMachine(benchmark::State& state) { Floor(state, "/proc"); }
void BM_RefreshThisMachine(benchmark::State& state) { Refresh(state, "/proc"); }
void BM_FloorLargeHost(benchmark::State& state) { Floor(state, kLargeHost); }
void BM_RefreshLargeHost(benchmark::State& state) { Refresh(state, kLargeHost); }

BENCHMARK(BM_FloorThisMachine);
BENCHMARK(BM_RefreshThisMachine);
BENCHMARK(BM_FloorLargeHost);
BENCHMARK(BM_RefreshLargeHost);

}  // namespace
}  // namespace Stats

BENCHMARK_MAIN();
