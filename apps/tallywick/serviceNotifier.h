// ServiceNotifier tells a supervising systemd how the service is doing: ready
// once initialised, a short status line, stopping at the end, and watchdog
// keep-alives while every collection keeps completing its passes. Without a
// notify socket in the environment (a run from a terminal) it does nothing
// and starts no thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "apps/tallywick/storageCollection.h"

namespace Tallywick {

/// CollectionPace is what the supervisor knows of one collection.
struct CollectionPace {
  uint64_t periodMicros = 0;
  uint64_t lastPassMicros = 0;  ///< monotonic; 0 before the first pass
};

/// A collection is late when its last pass (or, before the first, the start)
/// lies kLatePeriods periods or more behind now.
constexpr uint64_t kLatePeriods = 3;

/// CollectionsOnTime: true when no collection is late at monotonic time now.
bool CollectionsOnTime(const std::vector<CollectionPace>& paces, uint64_t startMicros, uint64_t nowMicros);

/// NotifySupervisor sends one message of the notify protocol (a datagram of
/// KEY=value lines) to the socket at socketPath: a file-system path, or with
/// a leading '@' a name in the abstract namespace. False when the path is not
/// one of those or the datagram could not be sent.
bool NotifySupervisor(const char* socketPath, const std::string& message);

/// WatchdogMicros: the keep-alive interval asked for by WATCHDOG_USEC (usec),
/// 0 when none is asked, the value is not a number, or WATCHDOG_PID (pid)
/// names a process other than self.
uint64_t WatchdogMicros(const char* usec, const char* pid, pid_t self);

/// NotifyIntervalMicros: how often the status line (and, with a watchdog, the
/// keep-alive) is sent: every 10 s, or half the watchdog interval when that is
/// shorter (at least 1 ms). watchdogMicros 0: no watchdog.
uint64_t NotifyIntervalMicros(uint64_t watchdogMicros);

class ServiceNotifier {
public:
  /// Enabled: a notify socket is set in the environment.
  static bool Enabled();

  /// Start sends READY=1 and, when enabled, starts the thread that sends
  /// STATUS= lines and watchdog keep-alives until waitForStop says stop.
  void Start(const std::vector<StorageCollectionRef>& collections, const WaitForStop& waitForStop);
  /// Stop sends STOPPING=1 and joins the thread.
  void Stop();

private:
  static void Notify(const std::string& message);
  void Supervise(std::vector<StorageCollectionRef> collections, WaitForStop waitForStop, uint64_t watchdogMicros);

  std::thread thread_;
};

}  // namespace Tallywick
