// The catalogue of the Linux system provider: the 162 statistic definitions
// that `LinuxStatsProvider::RegisterStats` registers, built in registration
// order, and the provider-id ranges that tell which table serves a statistic.
//
// Provider ids 0-113 are sources (values read from /proc), 114-161 derived
// statistics computed by the instance graph from sources of this catalogue,
// named by provider id. Every derived definition comes after its sources.
#pragma once

#include <cstdint>

#include "public/stats/statDef.h"
#include "public/stats/statsRegistry.h"

namespace Stats {
namespace Providers {

/// Provider-id ranges of the catalogue; each range indexes one value table.
struct LinuxStatIds {
  static constexpr int64_t kProcessFirst = 0;     // 0-15: per process
  static constexpr int64_t kCpuFirst = 16;        // 16-24: per CPU
  static constexpr int64_t kPartitionFirst = 25;  // 25-35: per partition (disk, part)
  static constexpr int64_t kDiskFirst = 36;       // 36-46: per whole disk
  static constexpr int64_t kInterfaceFirst = 47;  // 47-62: per network interface
  static constexpr int64_t kSystemFirst = 63;     // 63-113: system-wide
  static constexpr int64_t kDerivedFirst = 114;   // 114-161: derived, never produced
  static constexpr int64_t kCount = 162;

  static constexpr int kProcessCount = 16;
  static constexpr int kCpuCount = 9;
  static constexpr int kDiskCount = 22;  // partition then whole-disk definitions
  static constexpr int kInterfaceCount = 16;
  static constexpr int kSystemCount = 51;
  static constexpr int kSourceCount = 114;
  static constexpr int kDerivedCount = 48;

  // System-wide provider ids written by the readers.
  static constexpr int64_t kCpuTotalFirst = 63;  // 63-70: user ... steal
  static constexpr int64_t kCpuCountId = 71;
  static constexpr int64_t kLoadFirst = 72;      // 72-74: 1, 5, 15 minutes
  static constexpr int64_t kUptime = 75;
  static constexpr int64_t kTasksFirst = 76;     // 76-81: total running sleeping blocked stopped zombie
};

/// MakeLinuxStatCatalog returns the 162 definitions in registration order (a
/// fresh list of fresh definitions on every call).
StatDefList MakeLinuxStatCatalog();

}  // namespace Providers
}  // namespace Stats
