#include "apps/tallywick/serviceNotifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "kestrix/format.h"
#include "stats/providers/procParsers.h"
#include "kestrix/time.h"

namespace Tallywick {

namespace {

// Status lines are refreshed this often when no watchdog asks for more.
constexpr uint64_t kStatusMicros = 10000000;

std::string StatusLine(const std::vector<StorageCollectionRef>& collections) {
  uint64_t passes = 0;
  uint64_t last = 0;
  for (const auto& c : collections) {
    passes += c->GetPassCount();
    last = std::max(last, c->GetLastPassTime());
  }
  if (last == 0) return "STATUS=Sampling, no pass completed yet";
  const uint64_t now = Kestrix::System::GetMonotonicTime();
  const uint64_t agoSec = (now > last ? now - last : 0) / 1000000;
  return Kestrix::MessageFormatter::ASPrint("STATUS=Sampling: %1 passes done, last %2 s ago", passes, agoSec);
}

}  // namespace

bool NotifySupervisor(const char* socketPath, const std::string& message) {
  if (socketPath == nullptr || (socketPath[0] != '/' && socketPath[0] != '@')) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t pathLen = std::strlen(socketPath);
  if (pathLen < 2 || pathLen >= sizeof(addr.sun_path)) return false;
  std::memcpy(addr.sun_path, socketPath, pathLen);
  // A leading '@' names a socket in the abstract namespace.
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
  const auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + pathLen);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent;
  do {
    sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr),
                  addrLen);
  } while (sent < 0 && errno == EINTR);
  close(fd);
  return sent == static_cast<ssize_t>(message.size());
}

uint64_t WatchdogMicros(const char* usec, const char* pid, pid_t self) {
  uint64_t micros = 0;
  if (usec == nullptr || !Stats::Providers::ParseUnsigned(usec, micros)) return 0;
  // A watchdog meant for another process (the supervisor sets the pid when
  // the variables may be inherited) is not ours to feed.
  uint64_t owner = 0;
  if (pid != nullptr && *pid != '\0' &&
      (!Stats::Providers::ParseUnsigned(pid, owner) || owner != static_cast<uint64_t>(self))) {
    return 0;
  }
  return micros;
}

bool CollectionsOnTime(const std::vector<CollectionPace>& paces, uint64_t startMicros, uint64_t nowMicros) {
  for (const auto& p : paces) {
    const uint64_t since = p.lastPassMicros ? p.lastPassMicros : startMicros;
    const uint64_t late = p.periodMicros > UINT64_MAX / kLatePeriods ? UINT64_MAX : p.periodMicros * kLatePeriods;
    if (nowMicros > since && nowMicros - since >= late) return false;
  }
  return true;
}

void ServiceNotifier::Notify(const std::string& message) {
  // A lost datagram only costs one status line or keep-alive; the next one
  // follows within half the watchdog interval.
  NotifySupervisor(std::getenv("NOTIFY_SOCKET"), message);
}

bool ServiceNotifier::Enabled() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

void ServiceNotifier::Start(const std::vector<StorageCollectionRef>& collections, const WaitForStop& waitForStop) {
  if (!Enabled()) return;
  Notify("READY=1");
  const uint64_t watchdogMicros = WatchdogMicros(std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), getpid());
  thread_ = std::thread(&ServiceNotifier::Supervise, this, collections, waitForStop, watchdogMicros);
}

void ServiceNotifier::Stop() {
  if (!Enabled()) return;
  Notify("STOPPING=1");
  if (thread_.joinable()) thread_.join();
}

uint64_t NotifyIntervalMicros(uint64_t watchdogMicros) {
  // Keep-alives at half the watchdog interval, as systemd recommends, but the
  // status line no staler than without a watchdog.
  if (watchdogMicros == 0) return kStatusMicros;
  return std::min(std::max<uint64_t>(watchdogMicros / 2, 1000), kStatusMicros);
}

void ServiceNotifier::Supervise(std::vector<StorageCollectionRef> collections, WaitForStop waitForStop,
                                uint64_t watchdogMicros) {
  const uint64_t start = Kestrix::System::GetMonotonicTime();
  const uint64_t interval = NotifyIntervalMicros(watchdogMicros);
  std::vector<CollectionPace> paces(collections.size());
  do {
    for (size_t i = 0; i < collections.size(); ++i) {
      paces[i].periodMicros = collections[i]->GetPeriod();
      paces[i].lastPassMicros = collections[i]->GetLastPassTime();
    }
    const bool onTime = CollectionsOnTime(paces, start, Kestrix::System::GetMonotonicTime());
    // A stuck collection gets no keep-alive, so systemd restarts the service.
    const std::string status = onTime ? StatusLine(collections) : "STATUS=A collection is late; watchdog not fed";
    if (watchdogMicros && onTime) {
      Notify("WATCHDOG=1\n" + status);
    } else {
      Notify(status);
    }
  } while (!waitForStop(interval));
}

}  // namespace Tallywick
