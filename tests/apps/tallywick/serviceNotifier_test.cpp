#include "apps/tallywick/serviceNotifier.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Tallywick::CollectionPace;

// A collection is late once its last pass (or the start, before any pass) is
// three periods behind; then the watchdog is no longer fed.
TEST(ServiceNotifierTest, CollectionsAreLateAfterThreePeriodsWithoutAPass) {
  const uint64_t s = 1000000;  // one second
  struct Case {
    const char* what;
    std::vector<CollectionPace> paces;
    uint64_t start, now;
    bool onTime;
  } cases[] = {
      {"no collections", {}, 0, 100 * s, true},
      {"fresh pass", {{1 * s, 99 * s}}, 0, 100 * s, true},
      {"just under three periods", {{1 * s, 97 * s + 1}}, 0, 100 * s, true},
      {"three periods", {{1 * s, 97 * s}}, 0, 100 * s, false},
      {"no pass yet, counted from the start", {{10 * s, 0}}, 80 * s, 100 * s, true},
      {"no pass since a start long ago", {{10 * s, 0}}, 60 * s, 100 * s, false},
      {"one of two late", {{1 * s, 99 * s}, {600 * s, 1}}, 0, 1801 * s, false},
      {"slow collection within its own period", {{1 * s, 99 * s}, {600 * s, 1}}, 0, 100 * s, true},
      {"pass recorded after now", {{1 * s, 200 * s}}, 0, 100 * s, true},
      {"huge period does not wrap", {{UINT64_MAX / 2, 1}}, 0, UINT64_MAX, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Tallywick::CollectionsOnTime(c.paces, c.start, c.now), c.onTime) << c.what;
  }
}

// A datagram socket bound where a supervisor would listen.
class Listener {
public:
  explicit Listener(const std::string& path) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (path[0] == '@') addr.sun_path[0] = '\0';
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size())) == 0;
  }
  ~Listener() { close(fd_); }
  bool Bound() const { return bound_; }
  std::string Receive() {
    char buf[512];
    const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    return n < 0 ? "<nothing>" : std::string(buf, static_cast<size_t>(n));
  }

private:
  int fd_;
  bool bound_ = false;
};

TEST(ServiceNotifierTest, MessagesReachPathAndAbstractSockets) {
  char dir[] = "/tmp/notify_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/notify";
  const std::string abstract = "@tallywick-notify-test-" + std::to_string(getpid());
  {
    Listener onPath(path), inNamespace(abstract);
    ASSERT_TRUE(onPath.Bound());
    ASSERT_TRUE(inNamespace.Bound());
    EXPECT_TRUE(Tallywick::NotifySupervisor(path.c_str(), "READY=1"));
    EXPECT_EQ(onPath.Receive(), "READY=1");
    EXPECT_TRUE(Tallywick::NotifySupervisor(abstract.c_str(), "WATCHDOG=1\nSTATUS=x"));
    EXPECT_EQ(inNamespace.Receive(), "WATCHDOG=1\nSTATUS=x");
    EXPECT_EQ(onPath.Receive(), "<nothing>");
  }
  // Nothing listens any more, or the address is not one the protocol knows.
  EXPECT_FALSE(Tallywick::NotifySupervisor(path.c_str(), "READY=1"));
  EXPECT_FALSE(Tallywick::NotifySupervisor(nullptr, "READY=1"));
  EXPECT_FALSE(Tallywick::NotifySupervisor("relative/notify", "READY=1"));
  EXPECT_FALSE(Tallywick::NotifySupervisor("@", "READY=1"));
  EXPECT_FALSE(Tallywick::NotifySupervisor(("/" + std::string(200, 'x')).c_str(), "READY=1"));
  unlink(path.c_str());
  rmdir(dir);
}

TEST(ServiceNotifierTest, WatchdogIntervalComesFromTheEnvironmentForThisProcessOnly) {
  EXPECT_EQ(Tallywick::WatchdogMicros("30000000", nullptr, 42), 30000000u);
  EXPECT_EQ(Tallywick::WatchdogMicros("30000000", "42", 42), 30000000u);
  EXPECT_EQ(Tallywick::WatchdogMicros("30000000", "", 42), 30000000u);
  EXPECT_EQ(Tallywick::WatchdogMicros("30000000", "41", 42), 0u);
  EXPECT_EQ(Tallywick::WatchdogMicros("30000000", "42x", 42), 0u);
  EXPECT_EQ(Tallywick::WatchdogMicros(nullptr, nullptr, 42), 0u);
  EXPECT_EQ(Tallywick::WatchdogMicros("", nullptr, 42), 0u);
  EXPECT_EQ(Tallywick::WatchdogMicros("-5", nullptr, 42), 0u);
  EXPECT_EQ(Tallywick::WatchdogMicros("5s", nullptr, 42), 0u);
  EXPECT_EQ(Tallywick::WatchdogMicros("99999999999999999999999", nullptr, 42), 0u);
}

// A long watchdog interval (the unit's 300 s) must not make the status line
// that `systemctl status` shows minutes old.
TEST(ServiceNotifierTest, StatusLinesComeAtLeastEveryTenSeconds) {
  EXPECT_EQ(Tallywick::NotifyIntervalMicros(0), 10000000u);
  EXPECT_EQ(Tallywick::NotifyIntervalMicros(300000000), 10000000u);
  EXPECT_EQ(Tallywick::NotifyIntervalMicros(1000000), 500000u);
  EXPECT_EQ(Tallywick::NotifyIntervalMicros(10), 1000u);
}

}  // namespace
