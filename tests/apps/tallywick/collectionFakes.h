// Test doubles for the collections: a registry that only lists a catalogue and
// a query that records its requests and runs the test's code as a pass.
#pragma once

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "apps/tallywick/sqliteStorageEngineImpl.h"
#include "apps/tallywick/storageCollection.h"
#include "kestrix/exception.h"
#include "public/stats/statsQuery.h"
#include "public/stats/statsRegistry.h"
#include "tests/apps/tallywick/testSupport.h"

namespace Tallywick {
namespace Testing {

class ListingRegistry : public Stats::StatsRegistry, public Kestrix::ObjectImpl {
public:
  /// Add lists a source statistic under registryId.
  void Add(int64_t registryId, const std::string& name, std::vector<Stats::StatAttribute> attributes = {}) {
    auto def = Stats::StatDef::Source(registryId, name, std::move(attributes), 0, 0, 0, 0, 0, Stats::StatValue(1));
    infos_.push_back(Kestrix::MakeRef<Stats::StatInfo>(registryId, def));
  }

  // Stats::StatsRegistry: only the listing is used.
  void Register(const Stats::StatDefList&, const Stats::GetStatValuesHandlerRef&, Stats::StatInfoList&,
                Stats::StatsRegistryItemRef&) override { Unsupported(); }
  void RegisterExisting(const Stats::StatInfoList&, const Stats::GetStatValuesHandlerRef&,
                        Stats::StatsRegistryItemRef&) override { Unsupported(); }
  void GetStatValues(const Stats::StatInstanceList&, Stats::StatInstanceValueList&) override { Unsupported(); }
  void GetStatValues(const Stats::StatInstanceList&, Stats::StatsResult&) override { Unsupported(); }
  bool GetStatInfo(int64_t, Stats::StatInfoRef&) const override { return false; }
  uint64_t GetStatInfos(Stats::StatInfoList& infos, uint64_t since) const override {
    if (since != 0) ADD_FAILURE() << "GetStatInfos since " << since;
    infos.insert(infos.end(), infos_.begin(), infos_.end());
    return 1;
  }

private:
  [[noreturn]] static void Unsupported() { throw Kestrix::NotSupportedException("ListingRegistry"); }
  Stats::StatInfoList infos_;
};

class ScriptedQuery : public Stats::StatsQuery, public Kestrix::ObjectImpl {
public:
  ScriptedQuery(Stats::StatInstanceWriterRef writer, Stats::StatInstanceAllocatorRef allocator)
      : writer(std::move(writer)), allocator(std::move(allocator)) {}

  // Stats::StatsQuery
  std::string GetName() const override { return "scripted"; }
  void Request(const Stats::StatInstanceList& instances) override { requests.push_back(instances); }
  void Execute(bool parallel) override {
    if (parallel) ADD_FAILURE() << "parallel execution asked";
    ++executions;
    if (onExecute) onExecute(executions);
  }

  const Stats::StatInstanceWriterRef writer;
  const Stats::StatInstanceAllocatorRef allocator;
  std::vector<Stats::StatInstanceList> requests;
  int executions = 0;
  std::function<void(int pass)> onExecute;
};

/// Names lists the series names of a drain list.
inline std::vector<std::string> Names(const PersistedStatList& list) {
  std::vector<std::string> names;
  for (const auto& s : list) names.push_back(s->GetName());
  return names;
}

/// NicAttribute is a physical-NIC attribute ("pNIC" in labels); PathAttribute
/// a type-0 attribute named by typeName (".filesystem" gives "D.filesystem").
inline Stats::StatAttribute NicAttribute() { return {"nic", 8, "", true}; }
inline Stats::StatAttribute PathAttribute(const std::string& typeName) { return {"path", 0, typeName, true}; }

/// CollectionTest provides a registry, an id counter, a file database and the
/// context that builds scripted queries.
class CollectionTest : public ::testing::Test {
protected:
  /// Context builds collections on registry (by default the listing registry).
  CollectionContext Context(Stats::StatsRegistryRef registry = nullptr) {
    CollectionContext context;
    context.registry = registry ? registry : Stats::StatsRegistryRef(registry_);
    context.createQuery = [this, registry = context.registry](const Stats::StatInstanceWriterRef& w,
                                                              const Stats::StatInstanceAllocatorRef& a,
                                                              const Stats::StatsRegistryRef& r) {
      EXPECT_EQ(r.Get(), registry.Get());
      auto q = Kestrix::MakeRef<ScriptedQuery>(w, a);
      query_ = q.Get();
      return Stats::StatsQueryRef(q);
    };
    context.ids = &ids_;
    context.logger = log_.Logger();
    return context;
  }
  SqliteStorageEngineRef OpenEngine(int busyMs = SqliteStorageEngine::DefaultBusyTimeoutMs,
                                    uint64_t ttlSec = std::numeric_limits<uint64_t>::max()) {
    auto engine = Kestrix::MakeRef<SqliteStorageEngine>(db_, ttlSec, log_.Logger(), busyMs);
    engine->Initialize();
    return engine;
  }
  /// Emit writes value through the query's writer, as an execution does.
  void Emit(uint64_t key, uint64_t timestamp, const Stats::StatValue& value) {
    query_->writer->Write(key, timestamp, &value, nullptr);
  }
  uint64_t Allocate(uint64_t statId, const Stats::AttributeValues& values) {
    return query_->allocator->Allocate(statId, values);
  }

  ScratchDir dir_;
  CapturedLog log_{dir_};
  std::string db_ = dir_.File("stats.db");
  Kestrix::Ref<ListingRegistry> registry_ = Kestrix::MakeRef<ListingRegistry>();
  CollectedStatIdCounter ids_;
  ScriptedQuery* query_ = nullptr;  // owned by the collection under test
};

}  // namespace Testing
}  // namespace Tallywick
