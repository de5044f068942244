// Helpers for the providers' tests: a result sink that records every value,
// scratch trees (optionally a copy of a fixture), and the service's registry
// logging into a file whose "Registered stat" lines are read back.
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

using Values = std::map<std::string, int64_t>;

/// RecordingResult keeps every value reported with a definition.
class RecordingResult : public StatsResult, public Kestrix::ObjectImpl {
public:
  struct Value {
    StatDefRef def;
    AttributeValues attributes;
    int64_t value;
  };
  void AddValue(int64_t, const AttributeValues&, int64_t) override { ADD_FAILURE() << "use the def form"; }
  void AddValue(const StatInstance&, int64_t) override { ADD_FAILURE() << "use the def form"; }
  void AddValue(const StatInfo&, const AttributeValues&, int64_t) override { ADD_FAILURE() << "use the def form"; }
  void AddValue(int64_t, const StatDefRef& def, const AttributeValues& a, int64_t v) override {
    values.push_back({def, a, v});
  }
  void FinishPass() override {}
  uint64_t GetValueCount() const override { return values.size(); }
  /// ByInstance maps the attribute values, joined by commas, to the value.
  Values ByInstance() const {
    Values out;
    for (const auto& v : values) {
      std::string key;
      for (const auto& a : v.attributes) key += (key.empty() ? "" : ",") + a;
      out[key] = v.value;
    }
    return out;
  }
  std::vector<Value> values;
};

inline std::string Fixture(const std::string& name) { return std::string(TW_FIXTURES_DIR) + "/" + name; }

/// TempDir is a fresh directory (a copy of the fixture tree, when named),
/// removed with its content at the end of the scope.
class TempDir {
public:
  explicit TempDir(const std::string& fixture = "") {
    std::string pattern = (std::filesystem::temp_directory_path() / "tw-providers-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    if (!fixture.empty())
      std::filesystem::copy(Fixture(fixture), path_,
                            std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }
  std::string Path(const std::string& file) const { return path_ + "/" + file; }
  void Write(const std::string& file, const std::string& text) const { std::ofstream(Path(file)) << text; }

private:
  std::string path_;
};

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// LogTo sends the service's log to the file at path.
inline bool LogTo(const std::string& path) {
  std::string error;
  return Kestrix::Service::GetDefaultLogger()->GetSink()->OpenFile(path, error);
}

/// Lines counts the lines of the log at path that contain text.
inline size_t Lines(const std::string& path, const std::string& text) {
  size_t n = 0;
  for (const auto& line : ReadLines(path)) n += line.find(text) != std::string::npos;
  return n;
}

/// Logged sends the service's log to a file while it lives.
struct Logged {
  Logged() { EXPECT_TRUE(LogTo(dir.Path("log"))); }
  ~Logged() { Kestrix::Service::GetDefaultLogger()->GetSink()->UseStandardError(); }
  size_t Lines(const std::string& text) const { return Testing::Lines(dir.Path("log"), text); }
  std::vector<std::string> Text() const { return ReadLines(dir.Path("log")); }
  TempDir dir;
};

/// Registry is the service's registry writing its log to a file.
struct Registry {
  Registry() {
    auto sink = Kestrix::MakeRef<Kestrix::Service::LogSink>();
    std::string error;
    EXPECT_TRUE(sink->OpenFile(dir.Path("log"), error)) << error;
    registry = CreateRegistry(Kestrix::MakeRef<Kestrix::Service::Logger>("Test", sink, Kestrix::Service::LOG_VERBOSE));
  }
  /// Registered returns the "Registered stat: ..." lines logged so far, from that text on.
  std::vector<std::string> Registered() const {
    std::vector<std::string> got;
    for (const auto& line : ReadLines(dir.Path("log")))
      if (const size_t at = line.find("Registered stat: "); at != std::string::npos) got.push_back(line.substr(at));
    return got;
  }
  /// Id returns the registry id of label (the test fails when it is unknown).
  int64_t Id(const std::string& label) const {
    StatInfoList infos;
    registry->GetStatInfos(infos, 0);
    for (const auto& info : infos)
      if (MakeStatKey(*info->GetDef()) == label) return info->GetRegistryId();
    ADD_FAILURE() << label;
    return -1;
  }
  TempDir dir;
  StatsRegistryRef registry;
};

/// LinuxHarness is a Linux provider on a tree, registered with the service's registry.
struct LinuxHarness {
  explicit LinuxHarness(const std::string& root, const Providers::ProcessSelectorList& selectors = {})
      : provider(Kestrix::MakeRef<Providers::LinuxStatsProvider>(selectors, StatAttributeMapperRef(), root)) {
    provider->RegisterStats(registry.registry);
  }
  // The registry holds the provider's handler and the provider its handle:
  // unregistering breaks that cycle.
  ~LinuxHarness() { provider->UnregisterStats(); }
  /// Get refreshes and returns the values reported for one request.
  Values Get(const std::string& label, AttributeValues attributes = {"*"}) {
    RecordingResult result;
    provider->GetLinuxStatValues({MakeStatInstance(registry.Id(label), std::move(attributes))}, result);
    return result.ByInstance();
  }
  /// Host returns the value of a system-wide statistic, or -1 when absent.
  int64_t Host(const std::string& name) {
    const Values v = Get(name + ".host", {});
    return v.empty() ? -1 : v.at("");
  }
  Registry registry;  // before the provider, which unregisters from it when destroyed
  Providers::LinuxStatsProviderRef provider;
};

}  // namespace Testing
}  // namespace Stats
