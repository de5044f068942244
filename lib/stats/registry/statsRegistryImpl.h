// RegistryImpl: the statistics registry. It numbers registered definitions,
// keeps labels unique, resolves the sources of aggregations and derivatives,
// remembers which handler serves each stat and collects values from the
// handlers, serially or on the work pool.
//
// Everything outside the registry library reaches it through
// `Stats::StatsRegistry` (public/stats/statsRegistry.h); this header is for the
// retriever and the registry's own tests.
//
// Ownership: a registration handle holds its registry; the registry holds,
// through its groups and handlers, the providers; a provider holds its handles.
// The cycle is broken when the provider unregisters.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestrix/functor.h"
#include "kestrix/lock.h"
#include "kestrix/log.h"
#include "public/stats/statsProvider.h"
#include "public/stats/statsRegistry.h"
#include "stats/registry/statsRetriever.h"

namespace Stats {
namespace Registry {

/// RegisteredGroup records one registration call.
class RegisteredGroup : public Kestrix::ObjectImpl {
public:
  RegisteredGroup(uint64_t time, int32_t groupId, std::vector<int64_t> registryIds,
                  StatsProviderRef provider)
      : time_(time), groupId_(groupId), registryIds_(std::move(registryIds)), provider_(std::move(provider)) {}

  /// GetTime is the UTC time of the call in µs; strictly increasing within one
  /// registry, so that polling with GetStatInfos(since) misses no group.
  uint64_t GetTime() const { return time_; }
  int32_t GetGroupId() const { return groupId_; }
  /// GetRegistryIds lists the group's stats in registration order.
  const std::vector<int64_t>& GetRegistryIds() const { return registryIds_; }
  /// GetProvider is the provider that owns the group's handler (may be empty).
  const StatsProviderRef& GetProvider() const { return provider_; }

private:
  const uint64_t time_;
  const int32_t groupId_;
  const std::vector<int64_t> registryIds_;
  const StatsProviderRef provider_;
};
using RegisteredGroupRef = Kestrix::Ref<RegisteredGroup>;

class RegistryImpl final : public StatsRegistry, public Kestrix::System::RWLockableObjectImpl {
public:
  class RegistryItemImpl;

  /// The logger is parentLogger's name (+ "." when not empty) +
  /// "StatsRegistry(<address>)"; an empty parentLogger means the default logger.
  explicit RegistryImpl(const Kestrix::Service::LoggerRef& parentLogger);
  ~RegistryImpl() override;

  // StatsRegistry
  void Register(const StatDefList& defs, const GetStatValuesHandlerRef& handler, StatInfoList& infos,
                StatsRegistryItemRef& item) override;
  void RegisterExisting(const StatInfoList& infos, const GetStatValuesHandlerRef& handler,
                        StatsRegistryItemRef& item) override;
  void GetStatValues(const StatInstanceList& instances, StatInstanceValueList& values) override;
  void GetStatValues(const StatInstanceList& instances, StatsResult& result) override;
  bool GetStatInfo(int64_t registryId, StatInfoRef& info) const override;
  uint64_t GetStatInfos(StatInfoList& infos, uint64_t since) const override;

  /// FindHandler returns the handler recorded under handlerId, or empty. The
  /// caller holds the lock (read or write).
  GetStatValuesHandlerRef FindHandler(int64_t handlerId) const;

  const Kestrix::Service::LoggerRef& GetLogger() const { return logger_; }

private:
  using BatchIds = std::map<int64_t, int64_t>;  // providerId -> registryId within one call

  /// RegisterGroup takes the write lock, refuses the call on a known label,
  /// records the handler, runs registerStats and adds the group.
  void RegisterGroup(const char* operation, const GetStatValuesHandlerRef& handler,
                     const std::vector<std::string>& labels, StatsRegistryItemRef& item,
                     const Kestrix::Functor<void(int64_t, std::vector<int64_t>&)>& registerStats);
  // Helpers below run with the write lock held unless stated.
  void RecordExisting(const StatInfoList& infos, const std::vector<std::string>& labels, int64_t handlerId,
                      std::vector<int64_t>& ids);
  bool RefuseKnownLabels(const std::vector<std::string>& labels) const;
  int64_t RegisterHandler(const GetStatValuesHandlerRef& handler);
  void RegisterDefs(const StatDefList& defs, const std::vector<std::string>& labels, int64_t handlerId,
                    StatInfoList& infos, std::vector<int64_t>& ids);
  bool ResolveSources(const StatDef& def, const std::string& label, const BatchIds& batchIds,
                      std::vector<StatSourceRef>& resolved) const;
  void RecordStat(const StatInfoRef& info, const std::string& label, int64_t handlerId,
                  std::vector<int64_t>& ids);
  void AddGroup(std::vector<int64_t> ids, StatsProviderRef provider, StatsRegistryItemRef& item);
  /// RemoveGroup unregisters a group (takes the write lock itself); throws
  /// NotFoundException when the group is unknown.
  void RemoveGroup(int32_t groupId);

  // Read lock held.
  const StatInfo* ValidateInstance(const StatInstance& instance) const;
  /// ScratchGroups lends the calling thread's reusable grouping for one
  /// retrieval (or a private one when the thread's is already lent).
  class ScratchGroups {
  public:
    ScratchGroups();
    ~ScratchGroups();
    ScratchGroups(const ScratchGroups&) = delete;
    ScratchGroups& operator=(const ScratchGroups&) = delete;
    HandlerGroups& Get();

  private:
    const bool owner_;
    HandlerGroups own_;
  };

  void GroupInstances(const StatInstanceList& instances, HandlerGroups& groups) const;
  void CollectSerially(const HandlerGroups& groups, StatsResult& result) const;
  bool ReadParallelCollect() const;

  const Kestrix::Service::LoggerRef logger_;

  // All of the following are guarded by the registry's reader-writer lock.
  int32_t nextGroupId_ = 0;
  int64_t nextRegistryId_ = 0;
  int64_t lastHandlerId_ = 0;
  uint64_t lastGroupTime_ = 0;  // time of the latest group ever registered
  std::map<int32_t, RegisteredGroupRef> groups_;
  std::map<int64_t, StatInfoRef> statsById_;
  std::map<std::string, StatInfoRef> statsByLabel_;
  std::map<int64_t, int64_t> handlerOfStat_;  // registryId -> handler id; never shrinks
  std::unordered_map<std::string, int64_t> handlerIdsByName_;
  std::map<int64_t, GetStatValuesHandlerRef> handlers_;

  // Set once the configuration's parallelCollect text was found unreadable, so
  // that the warning is not repeated on every pass.
  mutable std::atomic<bool> parallelConfigWarned_{false};
};
using RegistryImplRef = Kestrix::Ref<RegistryImpl>;

/// RegistryItemImpl is the handle of one group; its release unregisters the
/// group when Unregister was not called.
class RegistryImpl::RegistryItemImpl : public StatsRegistryItem, public Kestrix::ObjectImpl {
public:
  RegistryItemImpl(int32_t groupId, RegistryImplRef registry)
      : groupId_(groupId), registry_(std::move(registry)) {}
  ~RegistryItemImpl() override;

  // StatsRegistryItem
  void Unregister() override;

  int32_t GetGroupId() const { return groupId_; }

private:
  std::atomic<bool> unregistered_{false};  // the first Unregister wins, from any thread
  const int32_t groupId_;
  const RegistryImplRef registry_;
};

}  // namespace Registry
}  // namespace Stats
