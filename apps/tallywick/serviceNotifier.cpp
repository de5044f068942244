#include "apps/tallywick/serviceNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>

#include "kestrix/format.h"
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

bool CollectionsOnTime(const std::vector<CollectionPace>& paces, uint64_t startMicros, uint64_t nowMicros) {
  for (const auto& p : paces) {
    const uint64_t since = p.lastPassMicros ? p.lastPassMicros : startMicros;
    const uint64_t late = p.periodMicros > UINT64_MAX / kLatePeriods ? UINT64_MAX : p.periodMicros * kLatePeriods;
    if (nowMicros > since && nowMicros - since >= late) return false;
  }
  return true;
}

bool ServiceNotifier::Enabled() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

void ServiceNotifier::Start(const std::vector<StorageCollectionRef>& collections, const WaitForStop& waitForStop) {
  if (!Enabled()) return;
  sd_notify(0, "READY=1");
  uint64_t watchdogMicros = 0;
  if (sd_watchdog_enabled(0, &watchdogMicros) <= 0) watchdogMicros = 0;
  thread_ = std::thread(&ServiceNotifier::Supervise, this, collections, waitForStop, watchdogMicros);
}

void ServiceNotifier::Stop() {
  if (!Enabled()) return;
  sd_notify(0, "STOPPING=1");
  if (thread_.joinable()) thread_.join();
}

void ServiceNotifier::Supervise(std::vector<StorageCollectionRef> collections, WaitForStop waitForStop,
                                uint64_t watchdogMicros) {
  const uint64_t start = Kestrix::System::GetMonotonicTime();
  // Keep-alives at half the watchdog interval, as systemd recommends.
  const uint64_t interval = watchdogMicros ? std::max<uint64_t>(watchdogMicros / 2, 1000) : kStatusMicros;
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
      sd_notify(0, ("WATCHDOG=1\n" + status).c_str());
    } else {
      sd_notify(0, status.c_str());
    }
  } while (!waitForStop(interval));
}

}  // namespace Tallywick
