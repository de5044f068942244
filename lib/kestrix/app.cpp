#include "kestrix/app.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "kestrix/exception.h"

namespace Kestrix {
namespace Service {
namespace {

class AppImpl : public App, public ObjectImpl {
public:
  explicit AppImpl(ConfigRef config)
      : config_(std::move(config)), pool_(CreateWorkPool("tw-pool", 64)) {}

  // App
  ConfigRef GetConfig() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
  }
  void SetConfig(const ConfigRef& config) override {
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
  }
  LoggerRef GetRootLogger() const override { return GetDefaultLogger(); }
  WorkPoolRef GetWorkPool() const override { return pool_; }
  AppInfo GetAppInfo() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_;
  }
  void SetInfo(const AppInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    info_ = info;
  }

private:
  mutable std::mutex mutex_;  // guards config_ and info_, replaced at start-up
  ConfigRef config_;
  AppInfo info_;
  const WorkPoolRef pool_;
};

std::mutex g_appMutex;  // guards g_app: set by InitApp, read by GetApp
AppImpl* g_app = nullptr;  // never destroyed once created

AppImpl* Instance() {
  std::lock_guard<std::mutex> lock(g_appMutex);
  if (!g_app) {
    g_app = new AppImpl(CreateScratchConfig());
    g_app->IncRef();
  }
  return g_app;
}

bool MakeDirs(const std::string& dir, std::string& error) {
  std::string partial;
  size_t pos = 0;
  while (pos <= dir.size()) {
    size_t next = dir.find('/', pos);
    if (next == std::string::npos) next = dir.size();
    partial = dir.substr(0, next);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
      error = strerror(errno);
      return false;
    }
    pos = next + 1;
  }
  return true;
}

}  // namespace

void InitApp(const ConfigRef& scratch, const std::string& configPath) {
  std::string directory = "-", name = "tallywick", levelText;
  if (scratch) {
    scratch->GetRoot()->GetString("log/directory", directory);
    scratch->GetRoot()->GetString("log/name", name);
    scratch->GetRoot()->GetString("log/level", levelText);
  }
  // The file's own log node, when the file can be read; errors in it surface
  // again, with their text, when the configuration is loaded for real.
  try {
    ConfigRef file;
    CreateXmlFileConfig(configPath, -1, 0, file);
    file->Load();
    ConfigNodeRef root = file->GetRoot();
    root->GetString("log/directory", directory);
    root->GetString("log/name", name);
    root->GetString("log/level", levelText);
  } catch (const std::exception&) {
  }

  LoggerRef root = GetDefaultLogger();
  int32_t level = LOG_INFO;
  if (!levelText.empty() && !ParseLevel(levelText, level)) {
    KLOG(root, WARNING, "Unknown log level '%1' in configuration %2; using info", levelText, configPath);
    level = LOG_INFO;
  }
  root->SetLevel(level);
  if (directory != "-" && !directory.empty()) {
    std::string error;
    const std::string path = directory + "/" + name + ".log";
    if (!MakeDirs(directory, error) || !root->GetSink()->OpenFile(path, error)) {
      KLOG(root, WARNING, "Cannot open log file %1: %2; logging to standard error", path, error);
    }
  }
  AppImpl* app = Instance();
  if (scratch) app->SetConfig(scratch);
}

void SetAppInfo(const AppInfo& info) { Instance()->SetInfo(info); }

AppRef GetApp() { return AppRef(Instance()); }

}  // namespace Service

namespace System {
void QuickExit(int status) {
  Service::GetDefaultLogger()->GetSink()->Flush();
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(status);
}
}  // namespace System
}  // namespace Kestrix
