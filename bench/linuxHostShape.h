// The Linux system catalogue registered in a real registry, on a host of a
// chosen shape (CPUs, network interfaces, disks, partitions per disk; no
// per-process statistics). Used by the benchmarks that drive the instance
// graph and the query with the values such a host's provider would report:
// every source statistic for every attribute tuple of the host, with values
// that change from pass to pass.
#pragma once

#include <string>
#include <vector>

#include "kestrix/log.h"
#include "public/stats/statsProvider.h"
#include "public/stats/statsRegistry.h"
#include "stats/providers/linuxStatCatalog.h"

namespace BenchHost {

struct Shape {
  int cpus;
  std::vector<std::string> interfaces;
  int disks;
  int partitionsPerDisk;
};

/// Feed is one source instance the host's provider reports every pass.
struct Feed {
  Stats::StatInfoRef info;
  Stats::AttributeValues values;
  int64_t step;  // increase per pass, so counters, deltas and rates move
};

/// QuietLogger logs warnings and errors only, so no pass formats a line.
inline Kestrix::Service::LoggerRef QuietLogger() {
  return Kestrix::Service::LoggerRef(new Kestrix::Service::Logger(
      "bench", Kestrix::Service::GetDefaultLogger()->GetSink(), Kestrix::Service::LOG_WARNING));
}

/// Host registers the catalogue with handler in registry (the handler may
/// be one that is never called) and lists the feeds of the shape.
class Host {
public:
  Host(const Shape& shape, const Stats::StatsRegistryRef& registry, const Stats::GetStatValuesHandlerRef& handler) {
    registry->Register(Stats::Providers::MakeLinuxStatCatalog(), handler, infos_, item_);
    for (const auto& info : infos_) {
      Stats::AttributeValues wild;
      for (size_t i = 0; i < info->GetDef()->GetAttributes().size(); ++i) wild.push_back(Stats::Wildcard);
      request_.push_back(Stats::MakeStatInstance(info->GetRegistryId(), wild));
      if (!info->GetDef()->IsSource()) continue;
      for (auto& values : TuplesOf(shape, *info->GetDef())) {
        feeds_.push_back(Feed{info, std::move(values), static_cast<int64_t>(feeds_.size() % 89 + 1) * 1000});
      }
    }
  }
  ~Host() {
    if (item_) item_->Unregister();
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  /// Request names every statistic of the catalogue with "*" for each attribute.
  const Stats::StatInstanceList& Request() const { return request_; }
  /// Feeds in registration order of their statistics.
  const std::vector<Feed>& Feeds() const { return feeds_; }
  /// ValueAt is the raw value of feed f in pass number pass.
  static int64_t ValueAt(const Feed& f, uint64_t pass) { return 1000000 + static_cast<int64_t>(pass) * f.step; }

private:
  static std::vector<Stats::AttributeValues> TuplesOf(const Shape& shape, const Stats::StatDef& def) {
    std::vector<std::string> names;
    for (const auto& a : def.GetAttributes()) names.push_back(a.name);
    std::vector<Stats::AttributeValues> out;
    if (names.empty()) {
      out.push_back({});
    } else if (names == std::vector<std::string>{"cpu"}) {
      for (int c = 0; c < shape.cpus; ++c) out.push_back({std::to_string(c)});
    } else if (names == std::vector<std::string>{"intf"}) {
      for (const auto& i : shape.interfaces) out.push_back({i});
    } else if (names == std::vector<std::string>{"disk"}) {
      for (int d = 0; d < shape.disks; ++d) out.push_back({DiskName(d)});
    } else if (names == std::vector<std::string>{"disk", "part"}) {
      for (int d = 0; d < shape.disks; ++d) {
        for (int p = 1; p <= shape.partitionsPerDisk; ++p) out.push_back({DiskName(d), DiskName(d) + std::to_string(p)});
      }
    }
    return out;  // per-process statistics: no process is watched
  }
  static std::string DiskName(int d) { return "vd" + std::string(1, static_cast<char>('a' + d)); }

  Stats::StatInfoList infos_;
  Stats::StatsRegistryItemRef item_;
  Stats::StatInstanceList request_;
  std::vector<Feed> feeds_;
};

}  // namespace BenchHost
