// Helpers for the registry tests: definitions, a recording provider, log
// capture, and the parallel-collection switch.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/app.h"
#include "kestrix/config.h"
#include "kestrix/exception.h"
#include "kestrix/functor.h"
#include "public/stats/statsProvider.h"
#include "public/stats/statsRegistry.h"
#include "tests/kestrix/testSupport.h"

namespace RegistryTest {

using namespace Stats;

inline StatAttribute Attr(const std::string& name, int32_t type, bool wildcard) { return {name, type, "", wildcard}; }
/// Src is a source stat (transform Raw) with the given provider id.
inline StatDefRef Src(int64_t providerId, const std::string& name, std::vector<StatAttribute> attrs = {}) {
  return StatDef::Source(providerId, name, std::move(attrs), 0, 0, 0, 0, 0, StatValue(1));
}
inline StatSourceRef ByLabel(const std::string& label) { return StatSourceRef{-1, label, {}}; }
inline StatSourceRef ById(int64_t providerId) { return StatSourceRef{providerId, "", {}}; }
inline StatDefRef Deriv(int64_t providerId, const std::string& name, std::vector<StatSourceRef> sources) {
  return StatDef::Derivative(providerId, name, {}, 0, 0, 0, 1, std::move(sources), 0, StatValue(1));
}
inline StatDefRef Agg(int64_t providerId, const std::string& name, StatSourceRef source) {
  return StatDef::Aggregation(providerId, name, {}, 0, 0, 0, 0, 0, std::move(source), 0, StatValue(1));
}

/// QuietHandler reports nothing; it is named name and has no provider.
inline GetStatValuesHandlerRef QuietHandler(const std::string& name) {
  return GetStatValuesHandlerRef(
      new GetStatValuesHandlerImpl([](const StatInstanceList&, StatsResult&) {}, name, StatsProviderRef()));
}

/// Register registers defs with a QuietHandler; the handle unregisters on release.
inline StatsRegistryItemRef Register(const StatsRegistryRef& r, const StatDefList& defs,
                                     StatInfoList* infos = nullptr) {
  StatInfoList ignored;
  StatsRegistryItemRef item;
  r->Register(defs, QuietHandler("h"), infos ? *infos : ignored, item);
  return item;
}

/// Sorted "id('v',...)=value" texts of collected values.
inline std::vector<std::string> ValueTexts(const StatInstanceValueList& values) {
  std::vector<std::string> out;
  for (const auto& v : values) out.push_back(InstanceToString(*v) + "=" + std::to_string(v->GetValue()));
  std::sort(out.begin(), out.end());
  return out;
}

/// TestProvider registers fixed defs and reports, for every requested
/// instance, the value providerId * 1000 + number of attribute values. Each
/// call is recorded as "tag:[3('a'),4()]" in calls, when given.
class TestProvider : public StatsProviderBase {
public:
  TestProvider(std::string tag, StatDefList defs, std::vector<std::string>* calls = nullptr)
      : StatsProviderBase("Test"), tag_(std::move(tag)), defs_(std::move(defs)), calls_(calls) {}

  // StatsProvider
  void RegisterStats(const StatsRegistryRef& registry) override {
    const Kestrix::Ref<TestProvider> self(this);
    const std::string name = handlerName.empty() ? std::to_string(uintptr_t(this)) + "//GetValues" : handlerName;
    GetStatValuesHandlerRef handler(
        new GetStatValuesHandlerImpl(Kestrix::MakeFunctor(self, &TestProvider::GetValues), name, self));
    RegisterWithRegistry(registry, defs_, registryToLocal, &localToRegistry, &registryToDef, handler);
  }

  void GetValues(const StatInstanceList& instances, StatsResult& result) {
    lastThread = std::this_thread::get_id();
    std::string call = tag_ + ":[";
    for (size_t i = 0; i < instances.size(); ++i) call += (i ? "," : "") + InstanceToString(*instances[i]);
    if (calls_) {
      std::lock_guard<std::mutex> lock(callsMutex_);
      calls_->push_back(call + "]");
    }
    if (!failure.empty()) throw Kestrix::Exception(failure);
    for (const auto& i : instances) {
      auto local = registryToLocal.find(i->GetStatId());
      auto def = registryToDef.find(i->GetStatId());
      result.AddValue(i->GetStatId(), def == registryToDef.end() ? StatDefRef() : def->second, i->GetAttributeValues(),
                      (local == registryToLocal.end() ? -1 : local->second) * 1000 +
                          static_cast<int64_t>(i->GetAttributeValues().size()));
    }
    lastCount = result.GetValueCount();
  }
  /// IdOf returns the registry id given to providerId (-1 when none).
  int64_t IdOf(int64_t providerId) const {
    auto it = localToRegistry.find(providerId);
    return it == localToRegistry.end() ? -1 : it->second;
  }

  std::map<int64_t, int64_t> registryToLocal, localToRegistry;
  std::map<int64_t, StatDefRef> registryToDef;
  std::string handlerName, failure;  // set before registering or collecting
  std::atomic<uint64_t> lastCount{0};  // value count of the last call's result
  std::atomic<std::thread::id> lastThread;  // where the last call ran

private:
  const std::string tag_;
  const StatDefList defs_;
  std::vector<std::string>* const calls_;  // shared by providers, guarded by callsMutex_
  static inline std::mutex callsMutex_;  // parallel calls record from pool threads
};
using TestProviderRef = Kestrix::Ref<TestProvider>;

/// LogLine is one "<time> <level> <logger>: <message>" line of a captured log.
struct LogLine {
  std::string level, logger, message;
};

/// LogCapture: a parent logger "T" at trivia level writing into a file.
struct LogCapture : TestSupport::LogFile {
  Kestrix::Service::LoggerRef logger = Logger("T", Kestrix::Service::LOG_TRIVIA);
  std::vector<LogLine> Lines() const {
    std::vector<LogLine> out;
    for (const auto& line : TestSupport::Lines(Text())) {
      const size_t s1 = line.find(' '), s2 = line.find(' ', s1 + 1), colon = line.find(": ", s2 + 1);
      if (s1 == std::string::npos || s2 == std::string::npos || colon == std::string::npos) continue;
      out.push_back({line.substr(s1 + 1, s2 - s1 - 1), line.substr(s2 + 1, colon - s2 - 1), line.substr(colon + 2)});
    }
    return out;
  }
  /// Count counts the lines with this level and message.
  size_t Count(const std::string& level, const std::string& message) const {
    size_t n = 0;
    for (const auto& l : Lines()) n += l.level == level && l.message == message;
    return n;
  }
  /// Messages returns the messages of this level, from line number `from` on.
  std::vector<std::string> Messages(const std::string& level, size_t from = 0) const {
    std::vector<std::string> out;
    const auto lines = Lines();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].level == level) out.push_back(lines[i].message);
    return out;
  }
};

/// ScopedParallelCollect installs a configuration whose
/// statsRegistry/parallelCollect is text, and restores the previous one.
class ScopedParallelCollect {
public:
  explicit ScopedParallelCollect(const std::string& text) : previous_(Kestrix::Service::GetApp()->GetConfig()) {
    Kestrix::Service::ConfigRef config = Kestrix::Service::CreateScratchConfig();
    config->GetRoot()->SetString("statsRegistry/parallelCollect", text);
    Kestrix::Service::GetApp()->SetConfig(config);
  }
  ~ScopedParallelCollect() { Kestrix::Service::GetApp()->SetConfig(previous_); }

private:
  const Kestrix::Service::ConfigRef previous_;
};

/// ProviderFixture gives each test a registry logging into a capture, and
/// unregisters every provider it made (breaking the registry-provider cycle).
class ProviderFixture : public ::testing::Test {
protected:
  void SetUp() override { registry = CreateRegistry(capture.logger); }
  void TearDown() override {
    for (auto& p : providers) p->UnregisterStats();
  }
  TestProviderRef Provide(const std::string& tag, StatDefList defs, const std::string& handlerName = "") {
    TestProviderRef p(new TestProvider(tag, std::move(defs), &calls));
    p->handlerName = handlerName;
    providers.push_back(p);
    p->RegisterStats(registry);
    return p;
  }

  LogCapture capture;
  StatsRegistryRef registry;
  std::vector<std::string> calls;  // handler calls of this fixture's providers, in order
  std::vector<TestProviderRef> providers;
};

}  // namespace RegistryTest
