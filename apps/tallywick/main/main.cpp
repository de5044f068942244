// Process entry: command line, logging defaults, application start and exit.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

#include "apps/tallywick/appImpl.h"
#include "kestrix/app.h"
#include "kestrix/exception.h"
#include "kestrix/signal.h"
#include "kestrix/time.h"

// The instance graph's class templates have several thousand pure virtual
// slots in their vtables. Resolved against the C++ runtime's handler, each
// slot is a symbol relocation the loader reads and applies at every start
// (about 250 KiB of relocation table, resident). Defined here, they become
// relative relocations of the executable itself, which pack into a few KiB.
// Same behaviour as the runtime's: a message, then std::terminate.
extern "C" [[noreturn]] void __cxa_pure_virtual() {
  static const char kMessage[] = "pure virtual method called\n";
  [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::terminate();
}

namespace {

const char* const kAppName = "Tallywick";
const char* const kVersion = "1.0";
const long long kBuild = 17590285;
const char* const kLogName = "Tallywick";
const char* const kLogDirectory = "/var/log/norvex/fenmark";
std::string g_configPath = "/etc/norvex/tallywick/tallywick.xml";

// The process-wide application instance; set once during start-up.
Tallywick::AppRef g_app;

// Orders signal handling with the exit, so that nothing is logged after the
// exit line and a received-signal line always has its shutdown line.
std::mutex g_exitMutex;
bool g_exiting = false;  // guarded by g_exitMutex

void PrintVersion() {
  std::fprintf(stderr, "%s, version=%s, build=%lld\n", kAppName, kVersion, kBuild);
}

void PrintUsage(const char* invocation) {
  PrintVersion();
  std::fprintf(stderr,
               "Usage: %s -h | -v | path/to/configfile\n\n"
               "   -h, --help\t\t\tprint this help message and exit.\n"
               "   -v, --version\t\tprint only version information and exit.\n"
               "   path/to/configfile\t\te.g. %s\n",
               invocation, g_configPath.c_str());
}

// ParseCommandLine returns true when the service should run.
bool ParseCommandLine(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("error: unrecognized command line options.\n", stderr);
    PrintUsage(argc > 0 ? argv[0] : kAppName);
    return false;
  }
  const std::string arg = argv[1];
  if (arg == "-h" || arg == "--help") {
    PrintUsage(argv[0]);
    return false;
  }
  if (arg == "-v" || arg == "--version") {
    PrintVersion();
    return false;
  }
  g_configPath = arg;
  return true;
}

// OpenClosedStandardDescriptors puts /dev/null on each of descriptors 0 to 2
// that the service was started without. Otherwise the next file opened takes
// that number: with standard error closed, the signal pipe's write end becomes
// descriptor 2, and every line logged to standard error reads as a signal that
// stops the service; a lock or health file in its place would collect them.
void OpenClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number, which is fd: the lower ones are open by now.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened > STDERR_FILENO) ::close(opened);
  }
}

Kestrix::Service::LoggerRef CurrentLogger() {
  return g_app ? g_app->GetLogger() : Kestrix::Service::GetDefaultLogger();
}

// HandleTerminationSignal runs on the signal watcher's thread, never inside the
// signal handler itself, so it may log and take the application's lock.
void HandleTerminationSignal(const Tallywick::AppRef& app, int signo) {
  std::lock_guard<std::mutex> lock(g_exitMutex);
  if (g_exiting) return;
  KLOG(app->GetLogger(), INFO, "Received signal %1", signo);
  app->Shutdown();
}

// ReopenLog runs on the signal watcher's thread after SIGUSR1 (log rotation):
// the sink swaps its file between two whole lines, so none is lost or split.
void ReopenLog(const Tallywick::AppRef& app) {
  const Kestrix::Service::LoggerRef logger = app->GetLogger();
  if (!logger->GetSink()->HasFile()) return;  // standard error: no file to reopen
  std::string error;
  if (logger->GetSink()->Reopen(error)) {
    KLOG(logger, INFO, "Log file reopened");
  } else {
    KLOG(logger, ERROR, "Unable to reopen the log file: %1", error);
  }
}

void InstallSignalHandlers(const Tallywick::AppRef& app) {
  // Lives until QuickExit, which runs no destructors.
  auto* watcher = new Kestrix::System::SignalWatcher([app](int signo) {
    if (signo == SIGUSR1) {
      ReopenLog(app);
    } else {
      HandleTerminationSignal(app, signo);
    }
  });
  for (int signo : {SIGHUP, SIGINT, SIGTERM, SIGUSR1}) {
    std::string error;
    if (!watcher->Install(signo, error)) {
      KLOG(app->GetLogger(), ERROR, "Failed to register handler for signal: %1", signo);
    }
  }
}

// ReportStartupFailure logs the failure; standard error gets it as well unless
// the log already is standard error, so a supervisor sees why the start failed
// even when the configured log could not be opened or was never known.
void ReportStartupFailure(const std::string& what) {
  const Kestrix::Service::LoggerRef logger = CurrentLogger();
  KLOG(logger, ERROR, "Failed while initializing the app: %1", what);
  if (logger->GetSink()->Fd() != STDERR_FILENO) {
    std::fprintf(stderr, "Failed while initializing the app: %s\n", what.c_str());
  }
}

// MirrorStartupErrors copies error lines to standard error for its lifetime,
// so that a start-up failure reported only in the log file also reaches the
// supervisor. It ends before ReportStartupFailure runs, which prints its own
// line, and before the main loop, whose errors go to the log only.
class MirrorStartupErrors {
public:
  MirrorStartupErrors() { Kestrix::Service::GetDefaultLogger()->GetSink()->SetMirrorErrors(true); }
  ~MirrorStartupErrors() { Kestrix::Service::GetDefaultLogger()->GetSink()->SetMirrorErrors(false); }
  MirrorStartupErrors(const MirrorStartupErrors&) = delete;
  MirrorStartupErrors& operator=(const MirrorStartupErrors&) = delete;
};

bool StartUp() {
  const MirrorStartupErrors mirror;
  Kestrix::Service::ConfigRef scratch = Kestrix::Service::CreateScratchConfig();
  scratch->GetRoot()->SetString("log/name", kLogName);
  scratch->GetRoot()->SetString("log/directory", kLogDirectory);
  Kestrix::Service::AppInfo info;
  info.name = kAppName;
  info.version = kVersion;
  info.build = kBuild;
  Kestrix::Service::InitApp(scratch, g_configPath);
  Kestrix::Service::SetAppInfo(info);

  g_app = Kestrix::MakeRef<Tallywick::App>();
  KLOG(g_app->GetLogger(), INFO, "Setting up signal handlers");
  InstallSignalHandlers(g_app);

  Kestrix::Service::ConfigRef config;
  Kestrix::Service::CreateXmlFileConfig(g_configPath, -1, 0, config);
  config->Load();
  // The loaded file is the application's configuration from now on: the
  // registry reads its settings from it.
  Kestrix::Service::GetApp()->SetConfig(config);
  return g_app->Init(config);
}

}  // namespace

int main(int argc, char** argv) {
  // A handful of threads allocate a few kilobytes a pass: one malloc arena
  // serves them without contention worth the resident pages of one per thread.
  mallopt(M_ARENA_MAX, 1);
  OpenClosedStandardDescriptors();
  // A log on standard error whose reader has gone (a pipe into a logger that
  // exited) would kill the service by SIGPIPE at its next line; the write
  // fails instead, the line is lost and sampling goes on.
  ::signal(SIGPIPE, SIG_IGN);
  if (!ParseCommandLine(argc, argv)) return 1;
  const uint64_t t0 = Kestrix::System::GetMonotonicTime();
  bool status = false;
  try {
    status = StartUp();
  } catch (const Kestrix::Exception& e) {
    ReportStartupFailure(e.what());
  } catch (const std::exception& e) {
    ReportStartupFailure(e.what());
  } catch (...) {
    ReportStartupFailure("unknown exception");
  }
  const uint64_t t1 = Kestrix::System::GetMonotonicTime();
  KLOG(CurrentLogger(), INFO, "Initialization took %1ms with status=%2.", (t1 - t0) / 1000, status);
  if (status) g_app->Run();
  g_exitMutex.lock();  // held until the process ends
  g_exiting = true;
  KLOG(CurrentLogger(), INFO, "Exiting with status=%1.", status);
  Kestrix::System::QuickExit(status ? 0 : 1);
}
