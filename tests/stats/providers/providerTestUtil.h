// Test doubles for the providers: a registry that numbers definitions the way
// the real one does, a result sink that records every value reported, and the
// real registry logging into a file whose "Registered stat" lines are read back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kestrix/log.h"
#include "public/stats/statsProvider.h"
#include "public/stats/statsRegistry.h"
#include "public/stats/statsResult.h"
#include "stats/providers/linuxStatsProviderImpl.h"

namespace Stats {
namespace Testing {

/// FakeRegistry numbers every definition 0, 1, 2, ... and keeps its handler.
class FakeRegistry : public StatsRegistry, public Kestrix::ObjectImpl {
public:
  class Item : public StatsRegistryItem, public Kestrix::ObjectImpl {
  public:
    void Unregister() override { ++unregistered; }
    int unregistered = 0;
  };

  void Register(const StatDefList& defs, const GetStatValuesHandlerRef& h, StatInfoList& infos,
                StatsRegistryItemRef& item) override {
    if (refuse) return;
    handler = h;
    for (const auto& def : defs) {
      const int64_t id = nextId++;
      infos.push_back(Kestrix::MakeRef<StatInfo>(id, def));
      byLabel[MakeStatKey(*def)] = id;
    }
    item = Kestrix::MakeRef<Item>();
  }
  void RegisterExisting(const StatInfoList&, const GetStatValuesHandlerRef&, StatsRegistryItemRef&) override {
    ADD_FAILURE() << "not used by providers";
  }
  void GetStatValues(const StatInstanceList&, StatInstanceValueList&) override { ADD_FAILURE(); }
  void GetStatValues(const StatInstanceList&, StatsResult&) override { ADD_FAILURE(); }
  bool GetStatInfo(int64_t, StatInfoRef&) const override { return false; }
  uint64_t GetStatInfos(StatInfoList&, uint64_t) const override { return 0; }

  /// Id returns the registry id of label (the test fails when it is unknown).
  int64_t Id(const std::string& label) const {
    const auto it = byLabel.find(label);
    EXPECT_NE(it, byLabel.end()) << label;
    return it == byLabel.end() ? -1 : it->second;
  }

  bool refuse = false;
  int64_t nextId = 0;
  GetStatValuesHandlerRef handler;
  std::map<std::string, int64_t> byLabel;
};

/// RecordingResult keeps every value reported with a definition.
class RecordingResult : public StatsResult, public Kestrix::ObjectImpl {
public:
  struct Value {
    int64_t statId;
    StatDefRef def;
    AttributeValues attributes;
    int64_t value;
  };
  void AddValue(int64_t, const AttributeValues&, int64_t) override { ADD_FAILURE() << "use the def form"; }
  void AddValue(const StatInstance&, int64_t) override { ADD_FAILURE() << "use the def form"; }
  void AddValue(int64_t statId, const StatDefRef& def, const AttributeValues& attributes,
                int64_t value) override {
    values.push_back({statId, def, attributes, value});
  }
  void AddValue(const StatInfo&, const AttributeValues&, int64_t) override { ADD_FAILURE() << "use the def form"; }
  void FinishPass() override {}
  uint64_t GetValueCount() const override { return values.size(); }

  /// ByInstance maps "a,b" (the attribute values joined by commas) to the value.
  std::map<std::string, int64_t> ByInstance() const {
    std::map<std::string, int64_t> out;
    for (const auto& v : values) {
      std::string key;
      for (const auto& a : v.attributes) key += (key.empty() ? "" : ",") + a;
      out[key] = v.value;
    }
    return out;
  }
  std::vector<Value> values;
};

/// TempDir is a fresh directory removed with its content at the end of the scope.
class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tw-providers-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

/// LinuxHarness is a Linux provider on a tree, registered with a FakeRegistry.
struct LinuxHarness {
  using Values = std::map<std::string, int64_t>;
  explicit LinuxHarness(const std::string& root, const Providers::ProcessSelectorList& selectors = {})
      : provider(Kestrix::MakeRef<Providers::LinuxStatsProvider>(selectors, StatAttributeMapperRef(), root)),
        registry(Kestrix::MakeRef<FakeRegistry>()) {
    provider->RegisterStats(registry);
  }
  /// Get refreshes and returns the values reported for one request.
  Values Get(const std::string& label, AttributeValues attributes = {"*"}) {
    RecordingResult result;
    provider->GetLinuxStatValues({MakeStatInstance(registry->Id(label), std::move(attributes))}, result);
    return result.ByInstance();
  }
  /// Host returns the value of a system-wide statistic, or -1 when absent.
  int64_t Host(const std::string& name) {
    const Values v = Get(name + ".host", {});
    return v.empty() ? -1 : v.at("");
  }
  Providers::LinuxStatsProviderRef provider;
  Kestrix::Ref<FakeRegistry> registry;
};

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// LoggedRegistry is the service's registry writing its log to a file.
struct LoggedRegistry {
  LoggedRegistry() {
    auto sink = Kestrix::MakeRef<Kestrix::Service::LogSink>();
    std::string error;
    EXPECT_TRUE(sink->OpenFile(dir.Path() + "/log", error)) << error;
    registry = CreateRegistry(Kestrix::MakeRef<Kestrix::Service::Logger>("Test", sink, Kestrix::Service::LOG_VERBOSE));
  }
  /// Registered returns the "Registered stat: ..." lines logged so far, from that text on.
  std::vector<std::string> Registered() const {
    std::vector<std::string> got;
    for (const auto& line : ReadLines(dir.Path() + "/log")) {
      const size_t at = line.find("Registered stat: ");
      if (at != std::string::npos) got.push_back(line.substr(at));
    }
    return got;
  }
  TempDir dir;
  StatsRegistryRef registry;
};

inline std::string Fixture(const std::string& name) { return std::string(TW_FIXTURES_DIR) + "/" + name; }

}  // namespace Testing
}  // namespace Stats
