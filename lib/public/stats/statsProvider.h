// The provider framework: the StatsProvider interface, the handler through
// which the registry asks a provider for values, the attribute mapper, and
// StatsProviderBase, which holds a provider's logger and registration handles.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kestrix/functor.h"
#include "kestrix/log.h"
#include "kestrix/object.h"
#include "public/stats/statsRegistry.h"

namespace Stats {

class StatsProvider : public virtual Kestrix::Object {
public:
  /// RegisterStats registers the provider's catalogue with registry (the
  /// default registry when empty).
  virtual void RegisterStats(const StatsRegistryRef& registry) = 0;
  /// UnregisterStats unregisters every handle in order, then forgets them; a
  /// second call does nothing. A failing Unregister (NotFoundException)
  /// propagates; the remaining handles are then released, which unregisters
  /// them as well. A registered provider is held by its registry until this
  /// is called.
  virtual void UnregisterStats() = 0;
};
using StatsProviderRef = Kestrix::Ref<StatsProvider>;

/// The value-retrieval entry point of a provider.
using GetStatValuesFunctor = Kestrix::Functor<void(const StatInstanceList&, StatsResult&)>;

class GetStatValuesHandler : public virtual Kestrix::Object {
public:
  /// GetProvider returns the owning provider (borrowed, may be null).
  virtual StatsProvider* GetProvider() const = 0;
  /// GetFunctor: the handler holds it; callers keep the handler while calling.
  virtual const GetStatValuesFunctor& GetFunctor() const = 0;
  virtual std::string GetHandlerName() const = 0;
};

class GetStatValuesHandlerImpl : public GetStatValuesHandler, public Kestrix::ObjectImpl {
public:
  GetStatValuesHandlerImpl(GetStatValuesFunctor functor, std::string name, StatsProviderRef provider)
      : functor_(std::move(functor)), name_(std::move(name)), provider_(std::move(provider)) {}
  // GetStatValuesHandler
  StatsProvider* GetProvider() const override { return provider_.Get(); }
  const GetStatValuesFunctor& GetFunctor() const override { return functor_; }
  std::string GetHandlerName() const override { return name_; }

private:
  const GetStatValuesFunctor functor_;
  const std::string name_;
  const StatsProviderRef provider_;
};

class StatAttributeMapper : public virtual Kestrix::Object {
public:
  /// MapAttributes fills out with descriptive strings for values; a mapper that
  /// does not handle the request passes it to its chained mapper, if any.
  virtual void MapAttributes(const std::vector<StatAttribute>& attributes,
                             const AttributeValues& values, uint64_t selector,
                             std::vector<std::string>& out) = 0;
};
using StatAttributeMapperRef = Kestrix::Ref<StatAttributeMapper>;

/// StatsProviderBase: name "<prefix>StatsProvider(<decimal address>)", a logger
/// of that name under the default logger, and the registration handles.
class StatsProviderBase : public virtual StatsProvider, public Kestrix::ObjectImpl {
public:
  explicit StatsProviderBase(const std::string& prefix);
  ~StatsProviderBase() override;

  // StatsProvider
  void UnregisterStats() override;

  const std::string& GetProviderName() const { return name_; }
  const Kestrix::Service::LoggerRef& GetLogger() const { return logger_; }

protected:
  /// RegisterWithRegistry registers defs with handler in registry (the default
  /// registry when empty). On success it keeps the handle and fills, from the
  /// returned infos, registryToLocal (registry id -> provider id) and, when
  /// given, localToRegistry (a later provider id overwrites) and registryToDef;
  /// defs the registry skipped are in none of them. When the registry refuses
  /// the call it logs "failed to register stats" and changes no map.
  void RegisterWithRegistry(const StatsRegistryRef& registry, const StatDefList& defs,
                            std::map<int64_t, int64_t>& registryToLocal,
                            std::map<int64_t, int64_t>* localToRegistry,
                            std::map<int64_t, StatDefRef>* registryToDef,
                            const GetStatValuesHandlerRef& handler);

private:
  const std::string name_;
  const Kestrix::Service::LoggerRef logger_;
  std::vector<StatsRegistryItemRef> handles_;  // registration thread only
};

}  // namespace Stats
