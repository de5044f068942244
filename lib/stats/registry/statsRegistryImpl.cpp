#include "stats/registry/statsRegistryImpl.h"

#include <algorithm>

#include "kestrix/app.h"
#include "kestrix/exception.h"
#include "kestrix/time.h"
#include "stats/registry/resultImpl.h"

namespace Stats {
namespace Registry {
namespace {

using Kestrix::System::ReadGuard;
using Kestrix::System::WriteGuard;

std::string RegistryLoggerName(const Kestrix::Service::LoggerRef& parent, const void* self) {
  const std::string& parentName = parent->GetName();
  std::string name = parentName.empty() ? std::string() : parentName + ".";
  name += "StatsRegistry(";
  name += Kestrix::PointerField(self);
  name += ")";
  return name;
}

Kestrix::Service::LoggerRef ParentOrDefault(const Kestrix::Service::LoggerRef& parent) {
  return parent ? parent : Kestrix::Service::GetDefaultLogger();
}

bool IsWildcard(const std::string& value) { return value.size() == 1 && value[0] == '*'; }

}  // namespace

RegistryImpl::RegistryImpl(const Kestrix::Service::LoggerRef& parentLogger)
    : logger_(Kestrix::Service::Logger::CreateLogger(
          ParentOrDefault(parentLogger), RegistryLoggerName(ParentOrDefault(parentLogger), this))),
      handlerIdsByName_(11) {
  handlerIdsByName_.max_load_factor(1.0f);
  KLOG(logger_, VERBOSE, "Created");
}

RegistryImpl::~RegistryImpl() = default;

// ---------------------------------------------------------------------------
// StatsRegistry: registration

void RegistryImpl::Register(const StatDefList& defs, const GetStatValuesHandlerRef& handler,
                            StatInfoList& infos, StatsRegistryItemRef& item) {
  std::vector<std::string> labels;
  labels.reserve(defs.size());
  for (const auto& def : defs) labels.push_back(def ? MakeStatKey(*def) : std::string());
  RegisterGroup("Register", handler, labels, item, [&](int64_t handlerId, std::vector<int64_t>& ids) {
    RegisterDefs(defs, labels, handlerId, infos, ids);
  });
}

void RegistryImpl::RegisterExisting(const StatInfoList& infos, const GetStatValuesHandlerRef& handler,
                                    StatsRegistryItemRef& item) {
  std::vector<std::string> labels;
  labels.reserve(infos.size());
  for (const auto& info : infos) {
    labels.push_back(info && info->GetDef() ? MakeStatKey(*info->GetDef()) : std::string());
  }
  RegisterGroup("RegisterExisting", handler, labels, item, [&](int64_t handlerId, std::vector<int64_t>& ids) {
    RecordExisting(infos, labels, handlerId, ids);
  });
}

void RegistryImpl::RegisterGroup(const char* operation, const GetStatValuesHandlerRef& handler,
                                 const std::vector<std::string>& labels, StatsRegistryItemRef& item,
                                 const Kestrix::Functor<void(int64_t, std::vector<int64_t>&)>& registerStats) {
  if (!handler) {
    KLOG(logger_, ERROR, "%1: no stat values handler given; nothing registered", operation);
    return;
  }
  // Declared before the guard: released only after the lock.
  StatsProviderRef provider(handler->GetProvider());
  WriteGuard guard(*this);
  if (RefuseKnownLabels(labels)) return;
  const int64_t handlerId = RegisterHandler(handler);
  std::vector<int64_t> ids;
  registerStats(handlerId, ids);
  AddGroup(std::move(ids), std::move(provider), item);
}

void RegistryImpl::RecordExisting(const StatInfoList& infos, const std::vector<std::string>& labels,
                                  int64_t handlerId, std::vector<int64_t>& ids) {
  for (size_t i = 0; i < infos.size(); ++i) {
    const StatInfoRef& info = infos[i];
    if (!info || !info->GetDef()) {
      KLOG(logger_, ERROR, "RegisterExisting: empty stat info at position %1 skipped", i);
      continue;
    }
    const int64_t id = info->GetRegistryId();
    // Recording over a live stat would leave its label pointing at the wrong
    // stat and lose the other one from the catalogue.
    if (statsById_.count(id) != 0) {
      KLOG(logger_, ERROR, "Unable to register existing stat: registryId=%1/label='%2' : id already registered",
           id, labels[i]);
      continue;
    }
    RecordStat(info, labels[i], handlerId, ids);
    // Ids are never handed out twice: fresh registrations start above it.
    if (id >= nextRegistryId_) nextRegistryId_ = id + 1;
    KLOG(logger_, VERBOSE, "Registered stat: existing registryId=%1/providerId=%2/label='%3' : %4", id,
         info->GetDef()->GetProviderId(), labels[i], RegisteredStatToString(id, *info->GetDef()));
  }
}

bool RegistryImpl::RefuseKnownLabels(const std::vector<std::string>& labels) const {
  for (const auto& label : labels) {
    if (!label.empty() && statsByLabel_.count(label) != 0) {
      KLOG(logger_, ERROR, "Stat '%1' already registered", label);
      return true;
    }
  }
  return false;
}

int64_t RegistryImpl::RegisterHandler(const GetStatValuesHandlerRef& handler) {
  const std::string name = handler->GetHandlerName();
  auto it = handlerIdsByName_.find(name);
  if (it != handlerIdsByName_.end()) return it->second;  // the first handler of a name stays
  const int64_t id = ++lastHandlerId_;
  handlers_[id] = handler;
  handlerIdsByName_.emplace(name, id);
  return id;
}

void RegistryImpl::RegisterDefs(const StatDefList& defs, const std::vector<std::string>& labels,
                                int64_t handlerId, StatInfoList& infos, std::vector<int64_t>& ids) {
  BatchIds batchIds;
  for (size_t i = 0; i < defs.size(); ++i) {
    const StatDefRef& def = defs[i];
    const std::string& label = labels[i];
    if (!def) {
      KLOG(logger_, ERROR, "Register: empty stat definition at position %1 skipped", i);
      continue;
    }
    StatDefRef registered = def;
    if (def->IsDerivative()) {
      if (def->GetSources().empty()) {
        KLOG(logger_, ERROR, "Attempt to register derivate stat: id=%1, label'%2' with empty sources",
             nextRegistryId_, label);
        continue;
      }
      std::vector<StatSourceRef> resolved;
      if (!ResolveSources(*def, label, batchIds, resolved)) continue;
      registered = def->WithSources(std::move(resolved));
    } else if (def->IsAggregation()) {
      if (def->GetSources().size() != 1) {
        KLOG(logger_, ERROR, "Attempt to register aggregation stat: id=%1, label'%2' with %3 number of sources",
             nextRegistryId_, label, def->GetSources().size());
        continue;
      }
      std::vector<StatSourceRef> resolved;
      if (!ResolveSources(*def, label, batchIds, resolved)) continue;
      registered = def->WithSources(std::move(resolved));
    }
    const int64_t id = nextRegistryId_;
    StatInfoRef info(new StatInfo(id, registered));
    batchIds.emplace(def->GetProviderId(), id);  // the first stat of a provider id wins
    infos.push_back(info);
    RecordStat(info, label, handlerId, ids);
    KLOG(logger_, VERBOSE, "Registered stat: registryId=%1/providerId=%2/label='%3' : %4", id,
         def->GetProviderId(), label, RegisteredStatToString(id, *registered));
    ++nextRegistryId_;
  }
}

bool RegistryImpl::ResolveSources(const StatDef& def, const std::string& label, const BatchIds& batchIds,
                                  std::vector<StatSourceRef>& resolved) const {
  const bool derivative = def.IsDerivative();
  const char* const byLabelFailed =
      derivative ? "Unable to register stat: id=%1, label:'%2' as derivative of stat with label:'%3'"
                 : "Unable to register stat: id=%1, label:'%2' as aggregation of stats with label:'%3'";
  const char* const byIdFailed =
      derivative ? "Unable to register stat: id=%1, label:'%2' as derivative from stat with id=%3"
                 : "Unable to register stat: id=%1, label:'%2' as aggregation of stats with providerId=%3";
  for (const auto& source : def.GetSources()) {
    StatInfoRef found;
    if (!source.label.empty()) {
      auto it = statsByLabel_.find(source.label);
      if (it == statsByLabel_.end()) {
        KLOG(logger_, ERROR, byLabelFailed, nextRegistryId_, label, source.label);
        return false;
      }
      found = it->second;
    } else {
      // By provider id: only a stat registered earlier in this call.
      auto b = batchIds.find(source.providerId);
      auto it = b == batchIds.end() ? statsById_.end() : statsById_.find(b->second);
      if (it == statsById_.end()) {
        KLOG(logger_, ERROR, byIdFailed, nextRegistryId_, label, source.providerId);
        return false;
      }
      found = it->second;
    }
    resolved.push_back(StatSourceRef{-1, std::string(), found});
  }
  return true;
}

void RegistryImpl::RecordStat(const StatInfoRef& info, const std::string& label, int64_t handlerId,
                              std::vector<int64_t>& ids) {
  const int64_t id = info->GetRegistryId();
  statsById_[id] = info;
  statsByLabel_[label] = info;  // a later stat of the same call with this label replaces the entry
  ids.push_back(id);
  handlerOfStat_[id] = handlerId;
}

void RegistryImpl::AddGroup(std::vector<int64_t> ids, StatsProviderRef provider, StatsRegistryItemRef& item) {
  // Group times strictly increase, also when the clock stands still or steps
  // back, so that GetStatInfos(since) never misses a later group.
  uint64_t time = Kestrix::System::GetUtcDateTime().GetUtcTime();
  if (nextGroupId_ > 0) time = std::max(time, lastGroupTime_ + 1);
  lastGroupTime_ = time;
  const int32_t groupId = nextGroupId_++;
  groups_[groupId] = RegisteredGroupRef(new RegisteredGroup(time, groupId, std::move(ids), std::move(provider)));
  item = StatsRegistryItemRef(new RegistryItemImpl(groupId, RegistryImplRef(this)));
}

void RegistryImpl::RemoveGroup(int32_t groupId) {
  // Released after the lock: dropping the group may drop the last reference to
  // its provider, whose handles then unregister through this registry.
  RegisteredGroupRef removed;
  {
    WriteGuard guard(*this);
    auto it = groups_.find(groupId);
    if (it == groups_.end()) {
      throw Kestrix::NotFoundException::Of("Unregister", ": id = " + std::to_string(groupId));
    }
    removed = it->second;
    for (int64_t id : removed->GetRegistryIds()) {
      auto s = statsById_.find(id);
      if (s == statsById_.end()) continue;
      auto l = statsByLabel_.find(MakeStatKey(*s->second->GetDef()));
      if (l != statsByLabel_.end() && l->second == s->second) statsByLabel_.erase(l);
      statsById_.erase(s);
    }
    groups_.erase(it);
  }
}

// ---------------------------------------------------------------------------
// StatsRegistry: catalogue

bool RegistryImpl::GetStatInfo(int64_t registryId, StatInfoRef& info) const {
  ReadGuard guard(*this);
  auto it = statsById_.find(registryId);
  if (it == statsById_.end()) return false;
  info = it->second;
  return true;
}

uint64_t RegistryImpl::GetStatInfos(StatInfoList& infos, uint64_t since) const {
  ReadGuard guard(*this);
  uint64_t latest = 0;
  for (const auto& entry : groups_) {
    const RegisteredGroup& group = *entry.second;
    latest = std::max(latest, group.GetTime());
    if (group.GetTime() <= since) continue;
    for (int64_t id : group.GetRegistryIds()) {
      auto it = statsById_.find(id);
      if (it != statsById_.end()) infos.push_back(it->second);
    }
  }
  return latest;
}

GetStatValuesHandlerRef RegistryImpl::FindHandler(int64_t handlerId) const {
  auto it = handlers_.find(handlerId);
  return it == handlers_.end() ? GetStatValuesHandlerRef() : it->second;
}

// ---------------------------------------------------------------------------
// StatsRegistry: value retrieval

void RegistryImpl::GetStatValues(const StatInstanceList& instances, StatInstanceValueList& values) {
  // Counted on the heap: a handler may take its own reference to the sink.
  const Kestrix::Ref<ResultImpl> result(new ResultImpl(values));
  GetStatValues(instances, *result);
}

void RegistryImpl::GetStatValues(const StatInstanceList& instances, StatsResult& result) {
  std::exception_ptr error;
  {
    ReadGuard guard(*this);
    ScratchGroups scratch;
    HandlerGroups& groups = scratch.Get();
    GroupInstances(instances, groups);
    if (ReadParallelCollect()) {
      const RegistryImplRef keepAlive(this);
      const StatsRetrieverRef retriever(new StatsRetriever(logger_, Kestrix::Service::GetApp()->GetWorkPool()));
      error = retriever->Retrieve(*this, groups, result);
    } else {
      CollectSerially(groups, result);
    }
  }
  // Raised only now, so that the caller's handling never runs under the lock.
  if (error) std::rethrow_exception(error);
}

const StatInfo* RegistryImpl::ValidateInstance(const StatInstance& instance) const {
  const int64_t id = instance.GetStatId();
  auto it = statsById_.find(id);
  if (it == statsById_.end()) {
    KLOG(logger_, WARNING, "failed to find stat %1", id);
    return nullptr;
  }
  const std::vector<StatAttribute>& attributes = it->second->GetDef()->GetAttributes();
  const AttributeValues& values = instance.GetAttributeValues();
  if (values.size() != attributes.size()) {
    KLOG(logger_, WARNING, "expect attribute count %1, got %2", attributes.size(), values.size());
    return nullptr;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (IsWildcard(values[i]) && !attributes[i].wildcardAllowed) {
      KLOG(logger_, WARNING, "wildcard not supported for stat (%1:%2).", id, i);
      return nullptr;
    }
  }
  return it->second.Get();
}

namespace {

// Each thread keeps its grouping from one retrieval to the next: a sampling
// loop asks for the same instances every pass, so the groups and their lists
// already have the room they need and the serial path does not allocate. A
// retrieval nested in a handler on the same thread groups into its own list.
struct ThreadGroups {
  HandlerGroups groups;
  bool inUse = false;
};
thread_local ThreadGroups threadGroups;

}  // namespace

RegistryImpl::ScratchGroups::ScratchGroups() : owner_(!threadGroups.inUse) {
  if (owner_) threadGroups.inUse = true;
}

RegistryImpl::ScratchGroups::~ScratchGroups() {
  // The instances are released now; the lists keep their capacity.
  for (auto& group : Get()) group.instances.clear();
  if (owner_) threadGroups.inUse = false;
}

HandlerGroups& RegistryImpl::ScratchGroups::Get() { return owner_ ? threadGroups.groups : own_; }

void RegistryImpl::GroupInstances(const StatInstanceList& instances, HandlerGroups& groups) const {
  // Groups left from an earlier retrieval are empty; those this one does not
  // fill are dropped at the end.
  for (auto& group : groups) group.instances.clear();
  size_t last = 0;  // index of the group used last: requests come in runs of one provider
  for (size_t i = 0; i < instances.size(); ++i) {
    const StatInstanceConstRef& instance = instances[i];
    if (!instance) {
      KLOG(logger_, WARNING, "empty stat instance at position %1 left out", i);
      continue;
    }
    if (!ValidateInstance(*instance)) continue;
    const int64_t id = instance->GetStatId();
    auto h = handlerOfStat_.find(id);
    if (h == handlerOfStat_.end()) {
      KLOG(logger_, ERROR, "invalid stat id: %1", id);
      throw Kestrix::NotFoundException::Of("GetStatValues", ": stat id = " + std::to_string(id));
    }
    const int64_t handlerId = h->second;
    if (last >= groups.size() || groups[last].handlerId != handlerId) {
      auto pos = std::lower_bound(groups.begin(), groups.end(), handlerId,
                                  [](const HandlerGroup& g, int64_t hid) { return g.handlerId < hid; });
      if (pos == groups.end() || pos->handlerId != handlerId) {
        pos = groups.insert(pos, HandlerGroup{handlerId, {}});
      }
      if (pos->instances.empty()) pos->instances.reserve(instances.size() - i);
      last = static_cast<size_t>(pos - groups.begin());
    }
    groups[last].instances.push_back(instance);
  }
  groups.erase(std::remove_if(groups.begin(), groups.end(), [](const HandlerGroup& g) { return g.instances.empty(); }),
               groups.end());
}

void RegistryImpl::CollectSerially(const HandlerGroups& groups, StatsResult& result) const {
  for (const auto& group : groups) {
    const GetStatValuesHandlerRef handler = FindHandler(group.handlerId);
    if (!handler) {
      KLOG(logger_, ERROR, "invalid stat handler id: %1", group.handlerId);
      continue;
    }
    const GetStatValuesFunctor& functor = handler->GetFunctor();
    functor(group.instances, result);
  }
}

bool RegistryImpl::ReadParallelCollect() const {
  static const std::string key = "statsRegistry/parallelCollect";  // read every call: built once
  bool parallel = false;
  try {
    Kestrix::Service::GetApp()->GetConfig()->GetRoot()->GetBool(key, parallel);
  } catch (const Kestrix::InvalidArgumentException& e) {
    if (!parallelConfigWarned_.exchange(true)) {
      KLOG(logger_, WARNING, "%1; collecting serially", e.what());
    }
    parallel = false;
  }
  return parallel;
}

// ---------------------------------------------------------------------------
// RegistryItemImpl

RegistryImpl::RegistryItemImpl::~RegistryItemImpl() {
  if (unregistered_.load()) return;
  try {
    Unregister();
  } catch (const std::exception& e) {
    KLOG(registry_->GetLogger(), ERROR, "unregistering group %1 on release failed: %2", groupId_, e.what());
  }
}

void RegistryImpl::RegistryItemImpl::Unregister() {
  if (unregistered_.exchange(true)) return;
  registry_->RemoveGroup(groupId_);
}

}  // namespace Registry

// ---------------------------------------------------------------------------
// Creation

StatsRegistryRef CreateRegistry(const Kestrix::Service::LoggerRef& parentLogger) {
  return StatsRegistryRef(new Registry::RegistryImpl(parentLogger));
}

StatsRegistryRef GetDefaultRegistry() {
  // The slot holds one reference of its own and is never emptied.
  static std::atomic<StatsRegistry*> slot{nullptr};
  StatsRegistry* published = slot.load(std::memory_order_acquire);
  if (published) return StatsRegistryRef(published);
  StatsRegistryRef created = CreateRegistry(Kestrix::Service::GetDefaultLogger());
  created->IncRef();
  StatsRegistry* expected = nullptr;
  if (slot.compare_exchange_strong(expected, created.Get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return created;
  }
  created->DecRef();  // another thread published first; ours goes with `created`
  return StatsRegistryRef(expected);
}

}  // namespace Stats
