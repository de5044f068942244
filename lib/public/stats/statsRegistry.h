// StatsRegistry: the in-process catalogue of statistics. Providers register
// definitions with a value handler; queries read the catalogue and collect
// values through it. One process-wide default registry exists.
#pragma once

#include <cstdint>
#include <vector>

#include "kestrix/log.h"
#include "kestrix/object.h"
#include "public/stats/statDef.h"
#include "public/stats/statInstance.h"
#include "public/stats/statsResult.h"

namespace Stats {

class GetStatValuesHandler;
using GetStatValuesHandlerRef = Kestrix::Ref<GetStatValuesHandler>;

/// StatsRegistryItem is the handle of one registration; releasing the last
/// reference (or calling Unregister) removes its stats.
class StatsRegistryItem : public virtual Kestrix::Object {
public:
  /// Unregister removes the group once; later calls do nothing. Throws
  /// NotFoundException when the registry no longer knows the group.
  virtual void Unregister() = 0;
};
using StatsRegistryItemRef = Kestrix::Ref<StatsRegistryItem>;

using StatDefList = std::vector<StatDefRef>;
using StatInfoList = std::vector<StatInfoRef>;
using StatInstanceValueList = std::vector<StatInstanceValueRef>;

class StatsRegistry : public virtual Kestrix::Object {
public:
  /// Register numbers and records defs served by handler; every registered stat
  /// is appended to infos; item is set only when a group was registered.
  virtual void Register(const StatDefList& defs, const GetStatValuesHandlerRef& handler,
                        StatInfoList& infos, StatsRegistryItemRef& item) = 0;
  /// RegisterExisting records infos that already carry their registry ids.
  virtual void RegisterExisting(const StatInfoList& infos, const GetStatValuesHandlerRef& handler,
                                StatsRegistryItemRef& item) = 0;
  /// GetStatValues collects values for instances into a list (appended).
  virtual void GetStatValues(const StatInstanceList& instances, StatInstanceValueList& values) = 0;
  /// GetStatValues collects values for instances into result. Errors raised by
  /// a handler propagate to the caller.
  virtual void GetStatValues(const StatInstanceList& instances, StatsResult& result) = 0;
  /// GetStatInfo sets info and returns true when registryId is registered.
  virtual bool GetStatInfo(int64_t registryId, StatInfoRef& info) const = 0;
  /// GetStatInfos appends the stats of groups registered after since; returns
  /// the latest group time (0 when there is none).
  virtual uint64_t GetStatInfos(StatInfoList& infos, uint64_t since) const = 0;
};
using StatsRegistryRef = Kestrix::Ref<StatsRegistry>;

/// CreateRegistry makes a registry logging under parentLogger (default logger
/// when empty).
StatsRegistryRef CreateRegistry(const Kestrix::Service::LoggerRef& parentLogger);
/// GetDefaultRegistry returns the process-wide registry, created on first use.
StatsRegistryRef GetDefaultRegistry();

}  // namespace Stats
