#include "apps/tallywick/serviceNotifier.h"

#include <gtest/gtest.h>

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

}  // namespace
