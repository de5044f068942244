// StatsQuery: a long-lived request for statistic instances that a client
// executes once per sampling period; each execution collects raw values,
// feeds the query's instance graph and hands distilled values to the writer.
#pragma once

#include <cstdint>
#include <string>

#include "kestrix/log.h"
#include "kestrix/object.h"
#include "public/stats/statInstance.h"
#include "public/stats/statInstanceWriter.h"
#include "public/stats/statsRegistry.h"

namespace Stats {

class StatsQuery : public virtual Kestrix::Object {
public:
  virtual std::string GetName() const = 0;
  /// Request adds instances (InvalidArgumentException on an empty list, an
  /// unknown id or a wrong attribute count).
  virtual void Request(const StatInstanceList& instances) = 0;
  /// Execute runs one collection pass (NotSupportedException when parallel).
  virtual void Execute(bool parallel) = 0;
};
using StatsQueryRef = Kestrix::Ref<StatsQuery>;

/// CreateQuery: allocator, parentLogger and registry may be empty (defaults:
/// NoKey allocator, default logger, default registry). ttl in µs; all ones
/// means instances never expire.
StatsQueryRef CreateQuery(const StatInstanceWriterRef& writer, const StatInstanceAllocatorRef& allocator,
                          uint64_t ttl, const Kestrix::Service::LoggerRef& parentLogger,
                          const StatsRegistryRef& registry);

}  // namespace Stats
