// The application frame: one process-wide application that owns the
// configuration, the root logger and the work pool.
//
// `InitApp` configures logging from the configuration file's root-level "log"
// node (directory, name, level) over the scratch defaults; `GetApp` returns the
// application (a default one, logging to standard error, when InitApp was not
// called, as in unit tests).
#pragma once

#include <cstdint>
#include <string>

#include "kestrix/config.h"
#include "kestrix/log.h"
#include "kestrix/workPool.h"

namespace Kestrix {
namespace Service {

/// AppInfo describes the running program.
struct AppInfo {
  std::string name;
  std::string version;
  int64_t build = 0;
};

class App : public virtual Object {
public:
  /// GetConfig returns the application's configuration (the loaded file once
  /// SetConfig was called, else the scratch configuration).
  virtual ConfigRef GetConfig() const = 0;
  /// SetConfig makes config the application's configuration.
  virtual void SetConfig(const ConfigRef& config) = 0;
  /// GetRootLogger returns the root logger.
  virtual LoggerRef GetRootLogger() const = 0;
  /// GetWorkPool returns the work pool.
  virtual WorkPoolRef GetWorkPool() const = 0;
  virtual AppInfo GetAppInfo() const = 0;
};
using AppRef = Ref<App>;

/// CreateScratchConfig: see config.h.

/// InitApp makes the application: scratch holds the defaults ("log/name",
/// "log/directory", optionally "log/level"); the "log" node of the XML file at
/// configPath, when it can be read, overrides them. The log file is
/// "<directory>/<name>.log" ("-" as directory means standard error).
void InitApp(const ConfigRef& scratch, const std::string& configPath);
void SetAppInfo(const AppInfo& info);
AppRef GetApp();

}  // namespace Service

namespace System {
/// QuickExit flushes the log and ends the process with status, without
/// running destructors.
[[noreturn]] void QuickExit(int status);
}  // namespace System
}  // namespace Kestrix
