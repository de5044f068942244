// Signals turned into ordinary calls: `SignalWatcher` installs handlers that
// only write the signal number to a pipe (async-signal-safe), and a watcher
// thread reads the pipe and calls the callback. The callback may therefore log,
// take locks and wake threads, which a signal handler must never do: a handler
// that interrupts a thread inside the log sink or holding a lock would
// deadlock on it.
#pragma once

#include <signal.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrix/functor.h"

namespace Kestrix {
namespace System {

/// SignalWatcher routes installed signals to a callback on its own thread
/// (named "signals"). At most one exists at a time in a process. Not copyable.
class SignalWatcher {
public:
  /// Callback receives the signal number taken from the signal information.
  using Callback = Functor<void(int signo)>;

  /// Creates the pipe and starts the watcher thread. Throws
  /// InvalidStateException when another SignalWatcher exists, Exception when
  /// the pipe or the thread cannot be created.
  explicit SignalWatcher(Callback callback);
  /// Restores the handlers that were replaced, then stops and joins the thread.
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  /// Install routes signo to the callback: the handler runs with every signal
  /// but SIGABRT blocked and the flags SA_RESTART and SA_SIGINFO. Returns false
  /// with the strerror text in error when sigaction fails.
  bool Install(int signo, std::string& error);

private:
  void Loop();

  const Callback callback_;
  int readFd_ = -1;
  int writeFd_ = -1;
  std::vector<std::pair<int, struct sigaction>> saved_;  // replaced handlers; only the owner thread
  std::thread thread_;
};

}  // namespace System
}  // namespace Kestrix
