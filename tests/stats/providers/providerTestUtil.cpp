#include "providerTestUtil.h"

namespace Stats {

// Stands in while no registry implementation is linked: the providers' tests
// always pass a registry, so the default one is never wanted. A real
// definition replaces this weak one.
__attribute__((weak)) StatsRegistryRef GetDefaultRegistry() { return StatsRegistryRef(); }

}  // namespace Stats
