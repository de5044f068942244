// Helpers for the registry tests: definitions, a recording provider, log
// capture into a temporary file, and the parallel-collection switch.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/app.h"
#include "kestrix/config.h"
#include "kestrix/exception.h"
#include "kestrix/functor.h"
#include "kestrix/log.h"
#include "public/stats/statsProvider.h"
#include "public/stats/statsRegistry.h"

namespace RegistryTest {

using Stats::StatAttribute;
using Stats::StatDef;
using Stats::StatDefList;
using Stats::StatDefRef;
using Stats::StatInfoList;
using Stats::StatInfoRef;
using Stats::StatInstanceList;
using Stats::StatInstanceValueList;
using Stats::StatsRegistryItemRef;
using Stats::StatsRegistryRef;
using Stats::StatSourceRef;

inline StatAttribute Attr(const std::string& name, int32_t type, bool wildcard) {
  return StatAttribute{name, type, "", wildcard};
}

/// Src is a source stat (transform Raw) with the given provider id.
inline StatDefRef Src(int64_t providerId, const std::string& name, std::vector<StatAttribute> attrs = {}) {
  return StatDef::Source(providerId, name, std::move(attrs), 0, 0, 0, 0, 0, Stats::StatValue(1));
}
inline StatSourceRef ByLabel(const std::string& label) { return StatSourceRef{-1, label, {}}; }
inline StatSourceRef ById(int64_t providerId) { return StatSourceRef{providerId, "", {}}; }
inline StatDefRef Deriv(int64_t providerId, const std::string& name, std::vector<StatSourceRef> sources) {
  return StatDef::Derivative(providerId, name, {}, 0, 0, 0, 1, std::move(sources), 0, Stats::StatValue(1));
}
inline StatDefRef Agg(int64_t providerId, const std::string& name, StatSourceRef source) {
  return StatDef::Aggregation(providerId, name, {}, 0, 0, 0, 0, 0, std::move(source), 0, Stats::StatValue(1));
}

/// QuietHandler reports nothing; it is named name and has no provider.
inline Stats::GetStatValuesHandlerRef QuietHandler(const std::string& name) {
  return Stats::GetStatValuesHandlerRef(new Stats::GetStatValuesHandlerImpl(
      [](const StatInstanceList&, Stats::StatsResult&) {}, name, Stats::StatsProviderRef()));
}

/// Register registers defs with a QuietHandler; the handle unregisters on release.
inline StatsRegistryItemRef Register(const StatsRegistryRef& r, const StatDefList& defs,
                                     StatInfoList* infos = nullptr) {
  StatInfoList ignored;
  StatsRegistryItemRef item;
  r->Register(defs, QuietHandler("h"), infos ? *infos : ignored, item);
  return item;
}

/// Collect collects request into a throw-away list.
inline void Collect(const StatsRegistryRef& r, const StatInstanceList& request) {
  StatInstanceValueList values;
  r->GetStatValues(request, values);
}

/// Text of an instance list, e.g. "[3('a'),4()]".
inline std::string Describe(const StatInstanceList& instances) {
  std::string out = "[";
  for (size_t i = 0; i < instances.size(); ++i) {
    if (i) out += ",";
    out += Stats::InstanceToString(*instances[i]);
  }
  return out + "]";
}

/// Sorted "id('v',...)=value" texts of collected values.
inline std::vector<std::string> ValueTexts(const StatInstanceValueList& values) {
  std::vector<std::string> out;
  for (const auto& v : values) out.push_back(Stats::InstanceToString(*v) + "=" + std::to_string(v->GetValue()));
  std::sort(out.begin(), out.end());
  return out;
}

/// CallLog records handler calls of several providers in call order.
struct CallLog {
  std::mutex mutex;  // handlers may run on pool threads
  std::vector<std::string> calls;
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

/// TestProvider registers fixed defs and reports, for every requested
/// instance, the value providerId * 1000 + number of attribute values.
class TestProvider : public Stats::StatsProviderBase {
public:
  TestProvider(std::string tag, StatDefList defs, CallLog* log = nullptr)
      : Stats::StatsProviderBase("Test"), tag_(std::move(tag)), defs_(std::move(defs)), log_(log) {}

  // StatsProvider
  void RegisterStats(const StatsRegistryRef& registry) override {
    const Kestrix::Ref<TestProvider> self(this);
    const std::string name =
        handlerName_.empty() ? std::to_string(reinterpret_cast<uintptr_t>(this)) + "//GetValues" : handlerName_;
    Stats::GetStatValuesHandlerRef handler(
        new Stats::GetStatValuesHandlerImpl(Kestrix::MakeFunctor(self, &TestProvider::GetValues), name, self));
    RegisterWithRegistry(registry, defs_, registryToLocal, &localToRegistry, &registryToDef, handler);
  }

  void GetValues(const StatInstanceList& instances, Stats::StatsResult& result) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads_.push_back(std::this_thread::get_id());
    }
    if (log_) {
      std::lock_guard<std::mutex> lock(log_->mutex);
      log_->calls.push_back(tag_ + ":" + Describe(instances));
    }
    if (!failure_.empty()) throw Kestrix::Exception(failure_);
    for (const auto& i : instances) {
      auto local = registryToLocal.find(i->GetStatId());
      const int64_t pid = local == registryToLocal.end() ? -1 : local->second;
      auto def = registryToDef.find(i->GetStatId());
      result.AddValue(i->GetStatId(), def == registryToDef.end() ? StatDefRef() : def->second,
                      i->GetAttributeValues(), pid * 1000 + static_cast<int64_t>(i->GetAttributeValues().size()));
    }
    lastCount_.store(result.GetValueCount());
  }

  void SetHandlerName(std::string name) { handlerName_ = std::move(name); }
  void SetFailure(std::string text) { failure_ = std::move(text); }
  uint64_t LastCount() const { return lastCount_; }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  /// IdOf returns the registry id given to providerId (-1 when none).
  int64_t IdOf(int64_t providerId) const {
    auto it = localToRegistry.find(providerId);
    return it == localToRegistry.end() ? -1 : it->second;
  }

  std::map<int64_t, int64_t> registryToLocal;
  std::map<int64_t, int64_t> localToRegistry;
  std::map<int64_t, StatDefRef> registryToDef;

private:
  const std::string tag_;
  const StatDefList defs_;
  CallLog* const log_;
  std::string handlerName_;
  std::string failure_;
  std::atomic<uint64_t> lastCount_{0};  // one query may call while another does
  std::mutex mutex_;  // guards threads_: parallel calls record from pool threads
  std::vector<std::thread::id> threads_;
};
using TestProviderRef = Kestrix::Ref<TestProvider>;

/// LogLine is one parsed line of a captured log.
struct LogLine {
  std::string level, logger, message;
};

/// LogFile is a temporary file that a log sink appends to.
class LogFile {
public:
  LogFile() {
    char path[] = "/tmp/tw_registry_logXXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) ::close(fd);
    path_ = path;
  }
  ~LogFile() { ::unlink(path_.c_str()); }
  const std::string& Path() const { return path_; }
  /// Lines parses "<time> <level> <logger>: <message>" lines.
  std::vector<LogLine> Lines() const {
    std::vector<LogLine> out;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
      const size_t s1 = line.find(' ');
      const size_t s2 = line.find(' ', s1 + 1);
      const size_t colon = line.find(": ", s2 + 1);
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

private:
  std::string path_;
};

/// LogCapture: a parent logger "T" at trivia level writing into a LogFile.
class LogCapture : public LogFile {
public:
  LogCapture() : sink_(new Kestrix::Service::LogSink) {
    std::string error;
    EXPECT_TRUE(sink_->OpenFile(Path(), error)) << error;
    logger_ = Kestrix::Service::LoggerRef(new Kestrix::Service::Logger("T", sink_, Kestrix::Service::LOG_TRIVIA));
  }
  const Kestrix::Service::LoggerRef& Logger() const { return logger_; }

private:
  Kestrix::Ref<Kestrix::Service::LogSink> sink_;
  Kestrix::Service::LoggerRef logger_;
};

/// DefaultLogCapture sends the default logger to a LogFile at trivia level for
/// its lifetime (loggers created meanwhile inherit the level).
class DefaultLogCapture : public LogFile {
public:
  DefaultLogCapture() {
    std::string error;
    EXPECT_TRUE(Kestrix::Service::GetDefaultLogger()->GetSink()->OpenFile(Path(), error)) << error;
    Kestrix::Service::GetDefaultLogger()->SetLevel(Kestrix::Service::LOG_TRIVIA);
  }
  ~DefaultLogCapture() {
    std::string error;
    Kestrix::Service::GetDefaultLogger()->SetLevel(Kestrix::Service::LOG_INFO);
    Kestrix::Service::GetDefaultLogger()->GetSink()->OpenFile("/dev/stderr", error);
  }
};

/// ScopedParallelCollect installs a configuration whose
/// statsRegistry/parallelCollect is text, and restores the previous one.
class ScopedParallelCollect {
public:
  explicit ScopedParallelCollect(const std::string& text)
      : previous_(Kestrix::Service::GetApp()->GetConfig()) {
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
  void SetUp() override { registry = Stats::CreateRegistry(capture.Logger()); }
  void TearDown() override {
    for (auto& p : providers) p->UnregisterStats();
  }
  TestProviderRef Provide(const std::string& tag, StatDefList defs, const StatsRegistryRef& where = {}) {
    TestProviderRef p(new TestProvider(tag, std::move(defs), &calls));
    providers.push_back(p);
    p->RegisterStats(where ? where : registry);
    return p;
  }

  LogCapture capture;
  StatsRegistryRef registry;
  CallLog calls;
  std::vector<TestProviderRef> providers;
};

}  // namespace RegistryTest
