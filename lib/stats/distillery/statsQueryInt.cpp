#include "stats/distillery/statsQueryInt.h"

#include <algorithm>
#include <functional>

#include "kestrix/assert.h"
#include "kestrix/exception.h"
#include "kestrix/format.h"
#include "kestrix/stringUtil.h"
#include "kestrix/time.h"

namespace Stats {
namespace Distillery {
namespace {

bool IsWildcardValue(const std::string& v) { return v.size() == 1 && v[0] == '*'; }

Kestrix::PerfCounter::MeterAccumulatorRef RegisterMeter(const std::string& path) {
  Kestrix::PerfCounter::MeterAccumulatorRef m(new Kestrix::PerfCounter::MeterAccumulator(path));
  Kestrix::PerfCounter::GetCounterRegistry().Register(m);
  return m;
}

std::string QueryLoggerName(const Kestrix::Service::LoggerRef& parent, const void* registry,
                            const std::string& internalName) {
  std::string name = parent->GetName().empty() ? std::string() : parent->GetName() + ".";
  name += "StatsRegistry(";
  name += Kestrix::PointerField(registry);
  name += ").Query(";
  name += internalName;
  name += ")";
  return name;
}

}  // namespace

TimedScope::TimedScope(Kestrix::PerfCounter::MeterAccumulator& meter, bool millis)
    : meter_(meter), start_(Kestrix::System::Get100NsTime()), millis_(millis) {}

TimedScope::~TimedScope() {
  const uint64_t ticks = Kestrix::System::Get100NsTime() - start_;
  meter_.Record(static_cast<int64_t>(millis_ ? ticks / 10000 : ticks / 10));
}

// ---------------------------------------------------------------------------
// StatsResultInt

template <class Model>
StatsResultInt<Model>::StatsResultInt(const std::string& internalName, StatInstanceAllocatorRef allocator,
                                      const StatInstanceWriterRef& writer, uint64_t ttl)
    : counterPrefix_("/qel/stats/distillery/" + internalName),
      logger_(Kestrix::Service::GetDefaultLogger()),
      instances_(11),
      ttl_(ttl),
      allocator_(allocator ? std::move(allocator) : StatInstanceAllocatorRef(new DefaultStatInstanceAllocator)),
      writer_(writer) {
  instances_.max_load_factor(1.0f);
  numStatsLastCollected_ = RegisterMeter(counterPrefix_ + "/numStatsLastCollected");
  statProcessTime_ = RegisterMeter(counterPrefix_ + "/statProcessTime");
}

template <class Model>
StatsResultInt<Model>::~StatsResultInt() {
  // Instances unlink themselves from the lists as they go: drop them while the
  // lists still exist.
  emitted_.clear();
  instances_.clear();
  Kestrix::PerfCounter::GetCounterRegistry().Unregister(counterPrefix_ + "/numStatsLastCollected");
  Kestrix::PerfCounter::GetCounterRegistry().Unregister(counterPrefix_ + "/statProcessTime");
}

template <class Model>
void StatsResultInt<Model>::AddValue(int64_t, const AttributeValues&, int64_t) {
  KESTRIX_NOT_IMPLEMENTED_AT("lib/stats/distillery/statsResultInt");
}

template <class Model>
void StatsResultInt<Model>::AddValue(const Stats::StatInstance&, int64_t) {
  KESTRIX_NOT_IMPLEMENTED_AT("lib/stats/distillery/statsResultInt");
}

template <class Model>
void StatsResultInt<Model>::AddValue(const StatInfo& info, const AttributeValues& attributeValues, int64_t value) {
  AddValue(info.GetRegistryId(), info.GetDef(), attributeValues, value);
}

template <class Model>
void StatsResultInt<Model>::AddValue(int64_t statId, const StatDefRef& def, const AttributeValues& attributeValues,
                                     int64_t value) {
  std::lock_guard<std::mutex> lock(parallelMutex_);
  AddValueLocked(statId, def, attributeValues, value);
}

template <class Model>
void StatsResultInt<Model>::AddValueLocked(int64_t statId, const StatDefRef& def, const AttributeValues& values,
                                           int64_t value) {
  TimedScope timed(*statProcessTime_);
  Distillery::StatInstance* instance = nullptr;
  SourceStatInstanceLinked* source = expected_;
  if (source && source->GetStatId() == statId && source->GetAttributes() == values) {
    instance = source;
  } else {
    auto it = instances_.find(InstanceKey{statId, &values});
    if (it == instances_.end()) {
      CreateSourceInstance(statId, def, values);
      it = instances_.find(InstanceKey{statId, &values});
      if (it == instances_.end()) return;
    }
    instance = it->second.instance.Get();
    source = it->second.source;
  }
  expected_ = source ? sources_.After(source) : nullptr;
  const StatValue v(value);
  instance->Write(NoKey, clock_.utc, &v, nullptr);
  ++valueCount_;
}

template <class Model>
typename std::vector<Distillery::StatInstanceRef>::iterator StatsResultInt<Model>::EmittedPosition(
    const Distillery::StatInstance* instance) {
  return std::lower_bound(emitted_.begin(), emitted_.end(), instance,
                          [](const Distillery::StatInstanceRef& e, const Distillery::StatInstance* i) {
                            return std::less<const Distillery::StatInstance*>()(e.Get(), i);
                          });
}

template <class Model>
void StatsResultInt<Model>::BeginPass(uint64_t utc, uint64_t monotonic) {
  clock_ = PassClock{utc, monotonic};
  expected_ = sources_.First();
  valueCount_ = 0;
}

template <class Model>
Distillery::StatInstance* StatsResultInt<Model>::FindInstance(int64_t statId, const AttributeValues& values) const {
  auto it = instances_.find(InstanceKey{statId, &values});
  return it != instances_.end() ? it->second.instance.Get() : nullptr;
}

template <class Model>
void StatsResultInt<Model>::InsertInstance(const Distillery::StatInstanceRef& instance,
                                           SourceStatInstanceLinked* source,
                                           AggregatedStatInstanceLinked* aggregation) {
  instances_.emplace(InstanceKey{instance->GetStatId(), &instance->GetAttributes()},
                     MapEntry{instance, nullptr, source});
  KLOG(logger_, TRIVIA, "Insert %1", instance->GetName());
  if (source) sources_.PushBack(source);
  if (aggregation) aggregations_.PushBack(aggregation);
  if (IsRequestedByClient(*instance)) emitted_.insert(EmittedPosition(instance.Get()), instance);
}

template <class Model>
bool StatsResultInt<Model>::IsRequestedByClient(const Distillery::StatInstance& instance) const {
  const AttributeValues& mine = instance.GetAttributes();
  auto range = requests_.equal_range(instance.GetStatId());
  for (auto it = range.first; it != range.second; ++it) {
    const AttributeValues& req = it->second;
    if (req.size() != mine.size()) return false;
    bool match = true;
    for (size_t i = 0; i < req.size() && match; ++i) match = IsWildcardValue(req[i]) || req[i] == mine[i];
    if (match) {
      KLOG(logger_, TRIVIA, "%1 is requested by the client", instance.GetName());
      return true;
    }
  }
  return false;
}

template <class Model>
Distillery::StatInstanceRef StatsResultInt<Model>::CreateSourceInstance(int64_t statId, const StatDefRef& def,
                                                                        const AttributeValues& attributeValues) {
  const uint64_t key = allocator_->Allocate(static_cast<uint64_t>(statId), attributeValues);
  SourceInstanceRef source = CreateSourceStatInstance(statId, def, attributeValues, key, &clock_);
  KLOG(logger_, TRIVIA, "New source stat instance: %1", source->GetName());
  Distillery::StatInstanceRef instance(source.Get());
  InsertInstance(instance, source.Get(), nullptr);
  AttachDependents(*instance, true);
  return instance;
}

template <class Model>
void StatsResultInt<Model>::AttachDependents(Distillery::StatInstance& instance, bool attach) {
  auto deps = dependents_.find(instance.GetStatId());
  if (deps == dependents_.end()) return;
  for (const auto& entry : deps->second) {
    const StatInfo& dependent = *entry.second;
    bool flag = attach;
    Distillery::StatInstance* d = dependent.GetDef()->IsAggregation()
                                      ? AttachAggregation(instance, dependent, flag)
                                      : AttachDerivative(instance, dependent, flag);
    if (d) AttachDependents(*d, flag);
  }
}

template <class Model>
Distillery::StatInstance* StatsResultInt<Model>::AttachAggregation(Distillery::StatInstance& source,
                                                                   const StatInfo& aggregation, bool& attach) {
  const StatDefRef& def = aggregation.GetDef();
  const int32_t k = def->GetAggregatedAttribute();
  const AttributeValues& full = source.GetAttributes();
  AttributeValues reduced;
  reduced.reserve(full.size());
  for (size_t j = 0; j < full.size(); ++j) {
    if (static_cast<int64_t>(j) != k) reduced.push_back(full[j]);
  }
  bool created = false;
  Distillery::StatInstance* found = FindInstance(aggregation.GetRegistryId(), reduced);
  if (found) {
    KLOG(logger_, TRIVIA, "Found aggregation stat instance: %1", found->GetName());
  } else {
    const uint64_t key = allocator_->Allocate(static_cast<uint64_t>(aggregation.GetRegistryId()), full);
    AggregatedInstanceRef a = CreateAggregatedStatInstance(aggregation.GetRegistryId(), def, reduced, key, &clock_);
    KLOG(logger_, TRIVIA, "New aggregation stat instance: %1", a->GetName());
    InsertInstance(Distillery::StatInstanceRef(a.Get()), nullptr, a.Get());
    found = a.Get();
    created = true;
  }
  if (attach) {
    auto* dep = dynamic_cast<DependentStatInstance*>(found);
    auto* src = dynamic_cast<SourceStatInstance*>(&source);
    KESTRIX_VERIFY_AT(dep && src, "lib/stats/distillery/factoriesInt");
    KLOG(logger_, TRIVIA, "Adding %1 as aggregation on %2", found->GetName(), source.GetName());
    dep->AttachTo(*src, true);
  }
  attach = created;
  return found;
}

template <class Model>
Distillery::StatInstance* StatsResultInt<Model>::AttachDerivative(Distillery::StatInstance& source,
                                                                  const StatInfo& derived, bool& attach) {
  const StatDefRef& def = derived.GetDef();
  const AttributeValues& values = source.GetAttributes();
  auto* src = dynamic_cast<SourceStatInstance*>(&source);
  KESTRIX_VERIFY_AT(src, "lib/stats/distillery/factoriesInt");
  auto range = instances_.equal_range(InstanceKey{derived.GetRegistryId(), &values});
  if (range.first == range.second) {
    if (values.size() != def->GetAttributes().size()) {
      attach = false;
      return nullptr;
    }
    const uint64_t key = allocator_->Allocate(static_cast<uint64_t>(derived.GetRegistryId()), values);
    DerivedInstanceRef d = CreateDerivedStatInstance(derived.GetRegistryId(), def, values, key, &clock_);
    KLOG(logger_, TRIVIA, "New derivative stat instance: %1", d->GetName());
    InsertInstance(Distillery::StatInstanceRef(d.Get()), nullptr, nullptr);
    KLOG(logger_, TRIVIA, "Adding %1 as derivative on %2", d->GetName(), source.GetName());
    d->AttachTo(*src, true);
    for (const auto& s : def->GetSources()) {
      if (!s.info) continue;
      const size_t k = s.info->GetDef()->GetAttributes().size();
      if (k >= def->GetAttributes().size()) continue;
      auto prefix = std::make_unique<const AttributeValues>(values.begin(), values.begin() + static_cast<long>(k));
      const AttributeValues* prefixValues = prefix.get();
      instances_.emplace(InstanceKey{derived.GetRegistryId(), prefixValues},
                         MapEntry{Distillery::StatInstanceRef(d.Get()), std::move(prefix), nullptr});
      Distillery::StatInstance* co = FindInstance(s.info->GetRegistryId(), *prefixValues);
      if (auto* coSource = dynamic_cast<SourceStatInstance*>(co)) {
        KLOG(logger_, TRIVIA, "Adding %1 as derivative on %2", d->GetName(), co->GetName());
        d->AttachTo(*coSource, false);
      }
    }
    attach = true;
    return d.Get();
  }
  if (!attach) return nullptr;
  const bool countAsUser = values.size() >= def->GetAttributes().size();
  Distillery::StatInstance* last = nullptr;
  // Collect first: attaching does not change the map, but keep the walk plain.
  for (auto it = range.first; it != range.second; ++it) {
    auto* d = dynamic_cast<DependentStatInstance*>(it->second.instance.Get());
    if (!d) continue;
    KLOG(logger_, TRIVIA, "Adding %1 as derivative on %2", d->GetName(), source.GetName());
    d->AttachTo(*src, countAsUser);
    last = d;
  }
  attach = false;
  return last;
}

template <class Model>
void StatsResultInt<Model>::OnInstanceRemoved(Distillery::StatInstance& instance) {
  // Keep the instance alive through its own removal: the map and the emitted
  // set may hold its last counted references.
  Distillery::StatInstanceRef hold(&instance);
  if (expected_ && static_cast<Distillery::StatInstance*>(expected_) == &instance) expected_ = nullptr;
  auto emitted = EmittedPosition(&instance);
  if (emitted != emitted_.end() && emitted->Get() == &instance) emitted_.erase(emitted);
  const int64_t id = instance.GetStatId();
  const AttributeValues& values = instance.GetAttributes();
  auto eraseUnder = [&](const AttributeValues& key) {
    auto range = instances_.equal_range(InstanceKey{id, &key});
    for (auto it = range.first; it != range.second;) {
      if (it->second.instance.Get() == &instance) it = instances_.erase(it);
      else ++it;
    }
  };
  KLOG(logger_, TRIVIA, "Erase %1", instance.GetName());
  eraseUnder(values);
  const StatDefRef& def = instance.GetStatDef();
  if (def->IsDerivative()) {
    for (const auto& s : def->GetSources()) {
      if (!s.info) continue;
      const size_t n = s.info->GetDef()->GetAttributes().size();
      if (n < values.size()) {
        const AttributeValues prefix(values.begin(), values.begin() + static_cast<long>(n));
        eraseUnder(prefix);
      }
    }
  }
  if (instance.GetKey() != NoKey) allocator_->Free(instance.GetKey());
}

// ---------------------------------------------------------------------------
// StatsDistillerInt

template <class Model>
void StatsDistillerInt<Model>::FinishPass() {
  const uint64_t now = this->clock_.utc;
  this->aggregations_.ForEach([&](AggregatedStatInstanceLinked* a) { a->CompleteAggregation(now, nullptr); });
  for (const auto& instance : this->emitted_) instance->Emit(this->writer_.Get());
  if (this->ttl_ != NoTimestamp) {
    if (this->lastCleanup_ == NoTimestamp) this->lastCleanup_ = now;
    const uint64_t due = this->lastCleanup_ > NoTimestamp - this->ttl_ ? NoTimestamp : this->lastCleanup_ + this->ttl_;
    if (due <= now) {
      KLOG(this->logger_, TRIVIA, "Trying to cleanup instances @ %1 (LCTS=%2, TTL=%3)", now, this->lastCleanup_,
           this->ttl_);
      // An instance that expires may be destroyed inside its Expire, once
      // OnInstanceRemoved dropped the last reference; the walk has taken the
      // next one already.
      this->sources_.ForEach([&](SourceStatInstanceLinked* s) { s->Expire(this, now, this->ttl_); });
      this->lastCleanup_ = now;
    }
  }
  this->clock_ = PassClock{};
}

template <class Model>
void StatsDistillerInt<Model>::ResetPass() {
  this->aggregations_.ForEach([](AggregatedStatInstanceLinked* a) { a->ClearPeriod(); });
  this->clock_ = PassClock{};
}

// ---------------------------------------------------------------------------
// StatsQueryImpl

template <class Model>
StatsQueryImpl<Model>::StatsQueryImpl(const std::string& name, const StatInstanceWriterRef& writer,
                                      const StatInstanceAllocatorRef& allocator, uint64_t ttl,
                                      const Kestrix::Service::LoggerRef& parentLogger,
                                      const StatsRegistryRef& registry)
    : StatsDistillerInt<Model>("qr-" + name, allocator, writer, ttl), name_(name), registry_(registry) {
  if (!registry) throw Kestrix::InvalidArgumentException::Of("registry");
  if (!writer) throw Kestrix::InvalidArgumentException::Of("writer");
  if (parentLogger) {
    this->logger_ = Kestrix::Service::Logger::CreateLogger(
        parentLogger, QueryLoggerName(parentLogger, registry.Get(), "qr-" + name));
  }
  if (startTime_ == NoTimestamp) startTime_ = Kestrix::System::GetMonotonicTime();
  elapsedTime_ = RegisterMeter(this->counterPrefix_ + "/elapsedTime");
  processTime_ = RegisterMeter(this->counterPrefix_ + "/processTime");
  KLOG(this->logger_, VERBOSE, "Created");
}

template <class Model>
StatsQueryImpl<Model>::~StatsQueryImpl() {
  KLOG(this->logger_, VERBOSE, "Destroyed");
  Kestrix::PerfCounter::GetCounterRegistry().Unregister(this->counterPrefix_ + "/elapsedTime");
  Kestrix::PerfCounter::GetCounterRegistry().Unregister(this->counterPrefix_ + "/processTime");
}

template <class Model>
void StatsQueryImpl<Model>::Load() {
  KLOG(this->logger_, INFO, "Loading...");
  KESTRIX_NOT_IMPLEMENTED_AT("lib/stats/distillery/statsQueryInt");
}

template <class Model>
bool StatsQueryImpl<Model>::ResolveDependencies(int64_t statId, const AttributeValues& values, const StatInfoRef& info,
                                                std::multimap<int64_t, AttributeValues>& raw) {
  const StatDefRef& def = info->GetDef();
  if (def->IsAggregation()) {
    const StatSourceRef& src = def->GetSources().front();
    if (!src.info) return false;
    const StatDef& sdef = *src.info->GetDef();
    const int32_t k = def->GetAggregatedAttribute();
    const auto& sattrs = sdef.GetAttributes();
    if (k < 0 || static_cast<size_t>(k) >= sattrs.size()) return false;
    if (values.size() + 1 != sattrs.size()) {
      KLOG(this->logger_, WARNING, "Dropping request %1: aggregation over %2 attributes needs %3 values",
           InstanceToString(statId, values), sattrs.size(), sattrs.size() - 1);
      return false;
    }
    AttributeValues sourceValues;
    size_t next = 0;
    for (size_t j = 0; j < sattrs.size(); ++j) {
      if (static_cast<int32_t>(j) == k) {
        if (!sattrs[j].wildcardAllowed) return false;
        sourceValues.push_back(Wildcard);
      } else {
        sourceValues.push_back(values[next++]);
      }
    }
    if (!ResolveDependencies(src.info->GetRegistryId(), sourceValues, src.info, raw)) return false;
    this->dependents_[src.info->GetRegistryId()][info->GetRegistryId()] = info;
    return true;
  }
  if (def->IsDerivative()) {
    for (const auto& src : def->GetSources()) {
      if (!src.info) return false;
      const size_t n = src.info->GetDef()->GetAttributes().size();
      if (n > values.size()) {
        KLOG(this->logger_, WARNING, "Dropping request %1: source %2 has more attributes than the derivative",
             InstanceToString(statId, values), RegisteredStatToString(src.info->GetRegistryId(), *src.info->GetDef()));
        return false;
      }
      const AttributeValues prefix(values.begin(), values.begin() + static_cast<long>(n));
      if (!ResolveDependencies(src.info->GetRegistryId(), prefix, src.info, raw)) return false;
      this->dependents_[src.info->GetRegistryId()][info->GetRegistryId()] = info;
    }
    return true;
  }
  raw.emplace(statId, values);
  return true;
}

template <class Model>
void StatsQueryImpl<Model>::NormalizeWildcards(std::multimap<int64_t, AttributeValues>& requests) {
  for (auto it = requests.begin(); it != requests.end();) {
    auto end = requests.upper_bound(it->first);
    std::vector<bool> wild;
    for (auto r = it; r != end; ++r) {
      if (wild.size() < r->second.size()) wild.resize(r->second.size(), false);
      for (size_t i = 0; i < r->second.size(); ++i) {
        if (IsWildcardValue(r->second[i])) wild[i] = true;
      }
    }
    for (auto r = it; r != end; ++r) {
      for (size_t i = 0; i < r->second.size(); ++i) {
        if (wild[i]) r->second[i] = Wildcard;
      }
    }
    for (auto r = it; r != end;) {
      bool duplicate = false;
      for (auto e = it; e != r && !duplicate; ++e) duplicate = e->second == r->second;
      r = duplicate ? requests.erase(r) : std::next(r);
    }
    it = end;
  }
}

template <class Model>
void StatsQueryImpl<Model>::Request(const StatInstanceList& instances) {
  if (instances.empty()) throw Kestrix::InvalidArgumentException::Of("instance");
  StatInfoList infos;
  registry_->GetStatInfos(infos, 0);
  std::map<int64_t, StatInfoRef> byId;
  for (const auto& info : infos) byId.emplace(info->GetRegistryId(), info);
  const bool trivia = this->logger_->GetLevel() == Kestrix::Service::LOG_TRIVIA;
  std::string queried = trivia ? "Queried by the client: " : "";
  std::multimap<int64_t, AttributeValues> raw;
  for (size_t n = 0; n < instances.size(); ++n) {
    const Stats::StatInstance& instance = *instances[n];
    if (trivia) queried += InstanceToString(instance) + ", ";
    auto found = byId.find(instance.GetStatId());
    if (found == byId.end()) {
      throw Kestrix::InvalidArgumentException::Of("instance[" + std::to_string(n) + "].id");
    }
    const StatInfoRef& info = found->second;
    if (info->GetDef()->GetAttributes().size() != instance.GetAttributeValues().size()) {
      throw Kestrix::InvalidArgumentException::Of("instance[" + std::to_string(n) + "].attribute");
    }
    if (!info->GetDef()->IsSource()) {
      if (!ResolveDependencies(instance.GetStatId(), instance.GetAttributeValues(), info, raw)) continue;
    }
    this->requests_.emplace(instance.GetStatId(), instance.GetAttributeValues());
    if (info->GetDef()->IsSource()) raw.emplace(instance.GetStatId(), instance.GetAttributeValues());
  }
  if (trivia) KLOG(this->logger_, VERBOSE, "%1", queried);
  NormalizeWildcards(this->requests_);
  NormalizeWildcards(raw);
  std::string requested = trivia ? "Requested from the registry: " : "";
  for (const auto& r : raw) {
    StatInstanceConstRef inst = MakeStatInstance(r.first, r.second);
    if (trivia) requested += InstanceToString(*inst) + ", ";
    rawInstances_.push_back(inst);
  }
  KLOG(this->logger_, VERBOSE, "%1", requested);
}

template <class Model>
void StatsQueryImpl<Model>::Execute(bool parallel) {
  if (parallel) {
    KLOG(this->logger_, WARNING, "Parallel collection mode is not supported for this instance!");
    throw Kestrix::NotSupportedException("Not Supported");
  }
  if (!registry_) throw Kestrix::InvalidStateException("Invalid state");
  const uint64_t t0 = Kestrix::System::GetMonotonicTime();
  int64_t user0 = 0, sys0 = 0;
  Kestrix::System::GetCpuTime(user0, sys0);
  const uint64_t passTimestamp = Kestrix::System::GetUtcDateTime().GetUtcTime();
  this->BeginPass(passTimestamp, t0);
  try {
    registry_->GetStatValues(rawInstances_, *this);
    this->FinishPass();
  } catch (...) {
    this->ResetPass();
    throw;
  }
  const uint64_t t1 = Kestrix::System::GetMonotonicTime();
  int64_t user1 = 0, sys1 = 0;
  Kestrix::System::GetCpuTime(user1, sys1);
  const int64_t elapsed = static_cast<int64_t>(t1 - t0);
  const int64_t process = (user1 + sys1) - (user0 + sys0);
  cumulativeProcessTime_ += process;
  KLOG(this->logger_, VERBOSE,
       "Executed with time-stamp: '%1' (%2) for %3us (ProcessTime:%4us, Usage:%5%%, CumulativeUsage:%6%%)",
       Kestrix::System::DateTimeFromUtc(passTimestamp), passTimestamp, elapsed, process,
       elapsed > 0 ? process * 100.0 / static_cast<double>(elapsed) : 0.0,
       t1 > startTime_ ? cumulativeProcessTime_ * 100.0 / static_cast<double>(t1 - startTime_) : 0.0);
  elapsedTime_->Record(elapsed);
  processTime_->Record(process);
}

template class StatsResultInt<SingleThreadedModel>;
template class StatsDistillerInt<SingleThreadedModel>;
template class StatsQueryImpl<SingleThreadedModel>;

}  // namespace Distillery

StatsQueryRef CreateQuery(const StatInstanceWriterRef& writer, const StatInstanceAllocatorRef& allocator,
                          uint64_t ttl, const Kestrix::Service::LoggerRef& parentLogger,
                          const StatsRegistryRef& registry) {
  const Kestrix::Service::LoggerRef parent = parentLogger ? parentLogger : Kestrix::Service::GetDefaultLogger();
  const StatsRegistryRef reg = registry ? registry : GetDefaultRegistry();
  return StatsQueryRef(new Distillery::StatsQueryImpl<SingleThreadedModel>(
      Kestrix::StringUtil::GenerateUuid(), writer, allocator, ttl, parent, reg));
}

}  // namespace Stats
