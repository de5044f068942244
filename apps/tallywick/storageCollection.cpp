#include "apps/tallywick/storageCollection.h"

#include <algorithm>
#include <exception>

#include "apps/tallywick/persistedStatMetadata.h"
#include "kestrix/assert.h"
#include "kestrix/format.h"
#include "kestrix/stringUtil.h"
#include "kestrix/time.h"

namespace Tallywick {

// QueryCallbacks forwards the query's allocator and writer calls to the
// collection that owns the query, until the collection detaches it.
class StorageCollection::QueryCallbacks : public virtual Stats::StatInstanceAllocator,
                                          public virtual Stats::StatInstanceWriter,
                                          public Kestrix::ObjectImpl {
public:
  explicit QueryCallbacks(StorageCollection* owner) : owner_(owner) {}
  void Detach() { owner_ = nullptr; }

  // Stats::StatInstanceAllocator
  uint64_t Allocate(uint64_t statId, const Stats::AttributeValues& values) override {
    return owner_ ? owner_->Allocate(statId, values) : Stats::NoKey;
  }
  void Free(uint64_t key) override {
    if (owner_) owner_->Free(key);
  }

  // Stats::StatInstanceWriter
  void Write(uint64_t key, uint64_t timestamp, const Stats::StatValue* value,
             Stats::StatInstanceWriter* downstream) override {
    if (owner_) owner_->Write(key, timestamp, value, downstream);
  }

private:
  // Used on the collection's thread only, like the query itself.
  StorageCollection* owner_;
};

StorageCollection::StorageCollection(const StorageEngineRef& engine, uint64_t periodMicros,
                                     const RequestedStats& requested, PersistedStatList drainList,
                                     InstanceNames instanceNames, const CollectionContext& context)
    : engine_(engine),
      period_(periodMicros),
      logger_(context.logger ? context.logger : Kestrix::Service::GetDefaultLogger()),
      ids_(context.ids ? *context.ids : GetCollectedStatIdCounter()),
      drainList_(std::move(drainList)),
      instanceNames_(std::move(instanceNames)),
      callbacks_(Kestrix::MakeRef<QueryCallbacks>(this)) {
  KESTRIX_VERIFY_AT(engine_ && context.registry && context.createQuery, "apps/tallywick/storageCollection");

  Stats::StatInfoList infos;
  context.registry->GetStatInfos(infos, 0);
  for (const auto& info : infos) {
    const Stats::StatDef& def = *info->GetDef();
    auto it = requested.find(Stats::MakeStatKey(def));
    if (it == requested.end()) continue;
    it->second->SetStatInfo(info);  // a later registration of the label wins
    requestedInstances_.push_back(Stats::MakeStatInstance(
        info->GetRegistryId(), Stats::AttributeValues(def.GetAttributes().size(), Stats::Wildcard)));
    requestedByStatId_.emplace(info->GetRegistryId(), it->second);  // the first entry stays
  }
  for (const auto& [label, stat] : requested) {
    if (stat->GetStatInfo()) {
      KLOG(logger_, INFO, "Intend to persist stat label=%1 id=%2", label, stat->GetStatInfo()->GetRegistryId());
    } else {
      KLOG(logger_, ERROR, "Could not locate StatInfo found for %1", label);
    }
  }

  query_ = context.createQuery(callbacks_, callbacks_, context.registry);
  // The query refuses an empty request; with nothing matched there is nothing
  // to ask for, and the collection simply stores nothing.
  if (!requestedInstances_.empty()) query_->Request(requestedInstances_);
}

StorageCollection::~StorageCollection() { callbacks_->Detach(); }

std::string StorageCollection::ToString() const {
  return Kestrix::MessageFormatter::ASPrint("StorageCollection(%1)", static_cast<const void*>(this));
}

PersistedStatRef StorageCollection::InstanceSeries(const PersistedStatRef& templateStat,
                                                   const Stats::AttributeValues& values) {
  // Interface names are bytes; the database and the exporter's file hold
  // UTF-8 text, which strict readers refuse to decode otherwise.
  const std::string value = Kestrix::StringUtil::EscapeInvalidUtf8(values.front());
  auto named = instanceNames_.find(value);
  const std::string& instanceName = named != instanceNames_.end() ? named->second : value;

  auto key = std::make_pair(templateStat.Get(), instanceName);
  auto it = instanceSeries_.find(key);
  if (it != instanceSeries_.end()) return it->second;

  const std::string name = templateStat->GetName() + "." + instanceName;
  PersistedStatRef series = Kestrix::MakeRef<PersistedStat>(
      name, templateStat->GetLabel(), templateStat->GetValueKind(),
      templateStat->GetMetadata() + InstanceMetadata(value) + NameMetadata(name), ids_.Next());
  series->SetStatInfo(templateStat->GetStatInfo());
  drainList_.push_back(series);
  exportNames_.emplace(series.Get(), std::make_pair(templateStat->GetName(), value));
  instanceSeries_.emplace(std::move(key), series);
  return series;
}

uint64_t StorageCollection::Allocate(uint64_t statId, const Stats::AttributeValues& attributeValues) {
  auto it = requestedByStatId_.find(static_cast<int64_t>(statId));
  if (it == requestedByStatId_.end()) {
    KLOG(logger_, INFO, "Won't allocate CollectedStatId for statId %1 not requested", statId);
    return Stats::NoKey;
  }
  PersistedStatRef series = it->second;
  if (series->IsTemplate()) {
    if (attributeValues.empty()) {
      // A template names its series by the first attribute; without one there
      // is no name to give.
      KLOG(logger_, ERROR, "Won't allocate CollectedStatId for statId %1: template %2 needs an attribute",
           statId, series->GetName());
      return Stats::NoKey;
    }
    series = InstanceSeries(series, attributeValues);
    ++instanceUsers_[series.Get()];
  }
  const CollectedStatId id = series->GetCollectedStatId();
  byCollectedId_.emplace(id, series);  // an id already present keeps its entry
  KLOG(logger_, INFO, "Allocated CollectedStatId %1 for statId %2 instance", id, statId);
  return id;
}

void StorageCollection::Free(uint64_t key) {
  auto it = byCollectedId_.find(key);
  if (it == byCollectedId_.end()) return;
  auto users = instanceUsers_.find(it->second.Get());
  if (users == instanceUsers_.end() || users->second == 0) return;  // a series stored from the start stays
  if (--users->second != 0) return;
  const auto waiting = std::find_if(gone_.begin(), gone_.end(),
                                    [&](const GoneSeries& gone) { return gone.series == it->second; });
  if (waiting != gone_.end()) {
    waiting->drains = 0;  // back and gone again before its release: its wait starts over
  } else {
    gone_.push_back({it->second, 0});
  }
}

void StorageCollection::ReleaseGoneSeries() {
  std::vector<GoneSeries> waiting;
  for (GoneSeries& gone : gone_) {
    PersistedStatRef& series = gone.series;
    auto users = instanceUsers_.find(series.Get());
    if (users == instanceUsers_.end() || users->second != 0) continue;  // its instance came back
    // An instance gone for a pass or two (a link that flaps, a name that is
    // back at once) keeps its series: a release and a new series would cost a
    // table check, a metadata write, two prepares and two log lines each time.
    if (++gone.drains < kReleaseAfterDrains) {
      waiting.push_back(std::move(gone));
      continue;
    }
    const auto at = std::find(drainList_.begin(), drainList_.end(), series);
    if (at == drainList_.end()) continue;
    const size_t index = static_cast<size_t>(at - drainList_.begin());
    // A sample a failed pass left behind is stored first.
    if (!Stats::IsInvalid(series->GetValue()) && drainStates_[index].stored != series->GetTimestamp()) {
      waiting.push_back(std::move(gone));
      continue;
    }
    drainList_.erase(at);
    drainStates_.erase(drainStates_.begin() + static_cast<std::ptrdiff_t>(index));
    byCollectedId_.erase(series->GetCollectedStatId());
    const auto named = std::find_if(instanceSeries_.begin(), instanceSeries_.end(),
                                    [&](const auto& entry) { return entry.second == series; });
    if (named != instanceSeries_.end()) instanceSeries_.erase(named);
    exportNames_.erase(series.Get());
    instanceUsers_.erase(users);
    engine_->Forget(*series);
    KLOG(logger_, INFO, "Released CollectedStatId %1 of %2: its instance is gone", series->GetCollectedStatId(),
         series->GetName());
  }
  gone_.swap(waiting);
}

void StorageCollection::Write(uint64_t key, uint64_t timestamp, const Stats::StatValue* value,
                              Stats::StatInstanceWriter*) {
  if (value == nullptr || Stats::IsInvalid(*value)) {
    KLOG(logger_, VERBOSE, "Skipping InvalidValue for CollectedStatId %1 at timestamp %2", key, timestamp);
    return;
  }
  auto it = byCollectedId_.find(key);
  if (it == byCollectedId_.end()) return;
  it->second->SetSample(timestamp, *value);
  passTimestamp_ = timestamp;
}

bool StorageCollection::RunQueryLoop(const WaitForStop& waitForStop) {
  KLOG(logger_, INFO, "Running query every %1 usec", period_);
  uint64_t passStart = 0;
  do {
    passStart = Kestrix::System::GetUtcDateTime().GetUtcTime();
    try {
      passTimestamp_ = 0;
      query_->Execute(false);
      Drain();
      lastPassTime_.store(Kestrix::System::GetMonotonicTime(), std::memory_order_relaxed);
      passCount_.fetch_add(1, std::memory_order_relaxed);
      if (exporter_) exporter_->Publish(exporterSlot_, Snapshot());
    } catch (const std::exception& e) {
      // One bad pass (a provider failure, an allocation failure) must not end
      // sampling for good; the next period tries again.
      KLOG(logger_, ERROR, "Sampling pass failed: %1", e.what());
    } catch (...) {
      KLOG(logger_, ERROR, "Sampling pass failed: %1", "unknown exception");
    }
  } while (!waitForStop(WaitForNextPass(period_, passStart, Kestrix::System::GetUtcDateTime().GetUtcTime())));
  return true;
}

uint64_t StorageCollection::WaitForNextPass(uint64_t periodMicros, uint64_t passStartUtc, uint64_t nowUtc) {
  uint64_t base = std::min(passStartUtc, nowUtc) + periodMicros / 2;
  if (base < nowUtc) base = nowUtc;  // the pass took more than half a period
  const uint64_t past = (base + periodMicros - kPassPhaseMicros % periodMicros) % periodMicros;
  return base - nowUtc + (past == 0 ? 0 : periodMicros - past);
}

void StorageCollection::SetExporter(const MetricsExporterRef& exporter, size_t slot) {
  exporter_ = exporter;
  exporterSlot_ = slot;
}

MetricSnapshot StorageCollection::Snapshot() const {
  MetricSnapshot snapshot;
  for (const auto& stat : drainList_) {
    const Stats::StatValue value = stat->GetValue();
    // A series the last pass did not write (its interface is gone) would
    // show its last value as current.
    if (Stats::IsInvalid(value) || stat->GetTimestamp() != passTimestamp_) continue;
    MetricSample sample;
    auto names = exportNames_.find(stat.Get());
    if (names != exportNames_.end()) {
      sample.family = names->second.first;
      sample.instance = names->second.second;
    } else {
      sample.family = stat->GetName();
    }
    const std::string& metadata = stat->GetMetadata();
    const size_t units = metadata.find("units=");
    if (units != std::string::npos) {
      sample.units = metadata.substr(units + 6, metadata.find(';', units) - units - 6);
    }
    sample.integer = stat->GetValueKind() == ValueKindInteger;
    sample.integerValue = value.numerator() / value.denominator();
    sample.value = static_cast<double>(value.numerator()) / static_cast<double>(value.denominator());
    snapshot.push_back(std::move(sample));
  }
  return snapshot;
}

bool StorageCollection::Drain() {
  // Grows only when the query has added series; the states line up with the list.
  drainStates_.resize(drainList_.size());
  if (!gone_.empty()) ReleaseGoneSeries();
  bool due = false;
  for (size_t i = 0; i < drainList_.size() && !due; ++i) due = IsDue(*drainList_[i], drainStates_[i]);
  if (!due) return true;  // nothing to store: no transaction, no write lock

  // What this pass wrote counts only once the transaction has committed.
  auto settle = [this](bool committed) {
    for (DrainState& state : drainStates_) {
      if (committed && state.pending != 0) {
        state.stored = state.pending;
        state.retired = false;
      } else if (committed && state.pendingRetired) {
        state.retired = true;
      }
      state.pending = 0;
      state.pendingRetired = false;
    }
  };
  bool stored = true;
  try {
    StorageTransaction transaction(*engine_);
    for (size_t i = 0; i < drainList_.size(); ++i) {
      const PersistedStat& stat = *drainList_[i];
      DrainState& state = drainStates_[i];
      if (!IsDue(stat, state)) continue;
      try {
        if (stat.GetTimestamp() != state.stored) {
          engine_->Store(stat);
          state.pending = stat.GetTimestamp();
        } else {
          // Its instance has gone: the last sample is stored already, and
          // writing it again each pass would cost a page per series for ever
          // (hosts whose interfaces come and go with fresh names). Only its
          // expiry goes on, until nothing of it is left to expire.
          state.pendingRetired = !engine_->Expire(stat);
        }
      } catch (const SeriesRefusedException&) {
        stored = false;  // the engine said so once; every pass would repeat it
      } catch (const StorageException& e) {
        KLOG(logger_, ERROR, "Unable to drain stat %1: %2", stat.GetName(), e);
        stored = false;
        if (!transaction.IsActive()) {
          // SQLite gave up the whole transaction (a full disk, an I/O error):
          // what was stored in this pass is gone, and going on would commit
          // the rest one statement at a time. The next pass stores the then
          // latest samples.
          KLOG(logger_, ERROR, "Drain stopped: the database rolled back the pass at %1", stat.GetName());
          settle(false);
          return false;
        }
      }
    }
    transaction.Commit();
  } catch (const StorageException& e) {
    KLOG(logger_, ERROR, "Unable to drain stats: %1", e);
    settle(false);
    return false;
  }
  settle(true);
  return stored;
}

bool StorageCollection::IsDue(const PersistedStat& stat, const DrainState& state) {
  if (Stats::IsInvalid(stat.GetValue())) return false;
  // Unequal, not later: the wall clock may have been set back.
  return stat.GetTimestamp() != state.stored || !state.retired;
}

}  // namespace Tallywick
