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

// MakeDirs creates dir and its missing parents; false with the strerror text
// when one cannot be created or is not a directory.
bool MakeDirs(const std::string& dir, std::string& error) {
  size_t pos = 0;
  while (pos <= dir.size()) {
    size_t next = dir.find('/', pos);
    if (next == std::string::npos) next = dir.size();
    const std::string partial = dir.substr(0, next);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0) {
      struct stat st;
      if (errno != EEXIST) {
        error = "cannot create directory " + partial + ": " + strerror(errno);
        return false;
      }
      if (::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = partial + " is not a directory";
        return false;
      }
    }
    pos = next + 1;
  }
  return true;
}

// LogSettings are the values that choose the log; later sources override.
struct LogSettings {
  std::string directory = "-";
  std::string name = "tallywick";
  std::string level;

  void ReadFrom(const ConfigNode& node, const std::string& source, const LoggerRef& root) {
    ReadOne(node, "log/directory", directory, source, root);
    ReadOne(node, "log/name", name, source, root);
    ReadOne(node, "log/level", level, source, root);
  }

private:
  static void ReadOne(const ConfigNode& node, const std::string& key, std::string& value,
                      const std::string& source, const LoggerRef& root) {
    std::string v;
    if (!node.GetString(key, v)) return;
    if (v.empty()) {
      // Warnings about the log itself are written whatever the level.
      root->Write(LOG_WARNING, MessageFormatter::ASPrint("Empty %1 in configuration %2 ignored", key, source));
      return;
    }
    value = v;
  }
};

}  // namespace

void InitApp(const ConfigRef& scratch, const std::string& configPath) {
  LoggerRef root = GetDefaultLogger();
  LogSettings settings;
  if (scratch) settings.ReadFrom(*scratch->GetRoot(), scratch->GetSource(), root);
  // The file's own log node, when the file can be read; errors in the file
  // surface again, with their text, when the configuration is loaded for real.
  try {
    ConfigRef file;
    CreateXmlFileConfig(configPath, -1, 0, file);
    file->Load();
    settings.ReadFrom(*file->GetRoot(), configPath, root);
  } catch (const std::exception&) {
  }

  int32_t level = LOG_INFO;
  if (!settings.level.empty() && !ParseLevel(settings.level, level)) {
    root->Write(LOG_WARNING, MessageFormatter::ASPrint("Unknown log level '%1' in configuration %2; using info",
                                                       settings.level, configPath));
    level = LOG_INFO;
  }
  // Errors are always written: below error's level a failed start would exit
  // without a word, in the log or on standard error.
  if (level < LOG_ERROR) level = LOG_ERROR;
  root->SetLevel(level);
  if (settings.directory == "-") {
    root->GetSink()->UseStandardError();
  } else {
    std::string error;
    const std::string path = settings.directory + "/" + settings.name + ".log";
    if (!MakeDirs(settings.directory, error) || !root->GetSink()->OpenFile(path, error)) {
      root->GetSink()->UseStandardError(path);
      root->Write(LOG_WARNING,
                  MessageFormatter::ASPrint("Cannot open log file %1: %2; logging to standard error", path, error));
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
