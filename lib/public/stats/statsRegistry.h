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

/// StatsRegistryItem is the handle of one registration; calling Unregister,
/// or releasing the last reference without it, removes its stats. The handle
/// keeps its registry alive.
class StatsRegistryItem : public virtual Kestrix::Object {
public:
  /// Unregister removes the group's stats from the catalogue (their ids are
  /// not given out again; their handler stays known) on the first call; later
  /// calls do nothing. Throws NotFoundException when the registry does not
  /// know the group.
  virtual void Unregister() = 0;
};
using StatsRegistryItemRef = Kestrix::Ref<StatsRegistryItem>;

using StatDefList = std::vector<StatDefRef>;
using StatInfoList = std::vector<StatInfoRef>;
using StatInstanceValueList = std::vector<StatInstanceValueRef>;

/// StatsRegistry: the catalogue. Any thread may call it: registration and
/// unregistration hold its lock exclusively, catalogue reads and value
/// collection hold it shared (handlers run under it and must not register).
class StatsRegistry : public virtual Kestrix::Object {
public:
  /// Register gives every def of the list the next registry id (0, 1, ... over
  /// the registry's life, never reused), resolves the sources of aggregations
  /// and derivatives (by label among registered stats, by provider id among
  /// earlier defs of the same call), records handler as their collector and
  /// appends each registered stat to infos. A def that cannot be registered is
  /// logged and skipped. When any label is already registered, or handler is
  /// empty, nothing is registered and item stays unset; otherwise item is the
  /// handle of the new group (also for an empty list). Handlers are known by
  /// name: a second handler of a known name is dropped in favour of the first.
  virtual void Register(const StatDefList& defs, const GetStatValuesHandlerRef& handler,
                        StatInfoList& infos, StatsRegistryItemRef& item) = 0;
  /// RegisterExisting records infos unchanged under their own registry ids
  /// (no copy, no source resolution); an info whose id is live is logged and
  /// skipped, and fresh ids are given out above every recorded one. Refusal
  /// and item as for Register.
  virtual void RegisterExisting(const StatInfoList& infos, const GetStatValuesHandlerRef& handler,
                                StatsRegistryItemRef& item) = 0;
  /// GetStatValues collects values for instances into values (appended, never
  /// cleared), as the other form does.
  virtual void GetStatValues(const StatInstanceList& instances, StatInstanceValueList& values) = 0;
  /// GetStatValues checks each instance against its definition (an unknown
  /// id, a wrong attribute count or "*" on an attribute without wildcards is
  /// logged and left out), groups the valid ones by handler and calls each
  /// handler once with its group, in ascending handler id: on this thread, or
  /// on the work pool when the configuration's statsRegistry/parallelCollect
  /// is true (read on every call; then result receives values from several
  /// threads at once). The first error raised by a handler (in handler order)
  /// propagates once the lock is released; in parallel mode every handler has
  /// run by then.
  virtual void GetStatValues(const StatInstanceList& instances, StatsResult& result) = 0;
  /// GetStatInfo sets info and returns true when registryId is registered;
  /// otherwise returns false and leaves info untouched.
  virtual bool GetStatInfo(int64_t registryId, StatInfoRef& info) const = 0;
  /// GetStatInfos appends, in group order, the live stats of every group whose
  /// time is later than since, and returns the latest group time (0 when there
  /// is none). Passing the previous result returns exactly the later groups;
  /// passing 0 returns the whole catalogue.
  virtual uint64_t GetStatInfos(StatInfoList& infos, uint64_t since) const = 0;
};
using StatsRegistryRef = Kestrix::Ref<StatsRegistry>;

/// CreateRegistry makes a registry logging under parentLogger (default logger
/// when empty).
StatsRegistryRef CreateRegistry(const Kestrix::Service::LoggerRef& parentLogger);
/// GetDefaultRegistry returns the process-wide registry, created on first use
/// and never destroyed. Safe from any thread.
StatsRegistryRef GetDefaultRegistry();

}  // namespace Stats
