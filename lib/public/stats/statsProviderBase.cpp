#include "kestrix/format.h"
#include "public/stats/statsProvider.h"

namespace Stats {

StatsProviderBase::StatsProviderBase(const std::string& prefix)
    : name_(prefix + "StatsProvider(" +
            std::to_string(reinterpret_cast<uintptr_t>(static_cast<const void*>(this))) + ")"),
      logger_(Kestrix::Service::Logger::CreateLogger(Kestrix::Service::GetDefaultLogger(), name_)) {
  KLOG(logger_, VERBOSE, "Creating...");
}

StatsProviderBase::~StatsProviderBase() = default;

void StatsProviderBase::UnregisterStats() {
  // Take the list first: a failing Unregister must not leave handles half-released.
  std::vector<StatsRegistryItemRef> handles;
  handles.swap(handles_);
  for (const auto& h : handles) h->Unregister();
}

void StatsProviderBase::RegisterWithRegistry(const StatsRegistryRef& registry, const StatDefList& defs,
                                             std::map<int64_t, int64_t>& registryToLocal,
                                             std::map<int64_t, int64_t>* localToRegistry,
                                             std::map<int64_t, StatDefRef>* registryToDef,
                                             const GetStatValuesHandlerRef& handler) {
  StatsRegistryRef reg = registry ? registry : GetDefaultRegistry();
  StatInfoList infos;
  StatsRegistryItemRef item;
  reg->Register(defs, handler, infos, item);
  if (!item) {
    KLOG(logger_, WARNING, "failed to register stats");
    return;
  }
  handles_.push_back(item);
  for (const auto& info : infos) {
    const int64_t id = info->GetRegistryId();
    const int64_t local = info->GetDef()->GetProviderId();
    registryToLocal[id] = local;
    if (registryToDef) (*registryToDef)[id] = info->GetDef();
    if (localToRegistry) (*localToRegistry)[local] = id;
  }
}

}  // namespace Stats
