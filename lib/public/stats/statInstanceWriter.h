// The interfaces through which the instance graph talks to its client: the
// writer that receives distilled values and the allocator that hands out
// collection keys.
#pragma once

#include <cstdint>

#include "kestrix/object.h"
#include "public/stats/statInstance.h"
#include "public/stats/statValue.h"

namespace Stats {

/// NoKey marks an instance that the client does not collect.
constexpr uint64_t NoKey = ~uint64_t(0);
/// NoTimestamp marks "no timestamp" (all ones).
constexpr uint64_t NoTimestamp = ~uint64_t(0);

/// StatInstanceWriter receives values: Write(key, timestamp µs UTC, value,
/// downstream writer or null).
class StatInstanceWriter : public virtual Kestrix::Object {
public:
  virtual void Write(uint64_t key, uint64_t timestamp, const StatValue* value,
                     StatInstanceWriter* downstream) = 0;
  /// IsCollected: default false.
  virtual bool IsCollected() const { return false; }
};
using StatInstanceWriterRef = Kestrix::Ref<StatInstanceWriter>;

/// StatInstanceAllocator hands out collection keys.
class StatInstanceAllocator : public virtual Kestrix::Object {
public:
  /// Allocate returns a key for the instance, or NoKey to leave it uncollected.
  virtual uint64_t Allocate(uint64_t statId, const AttributeValues& attributeValues) = 0;
  /// Free is called when an instance holding key leaves the graph.
  virtual void Free(uint64_t key) = 0;
};
using StatInstanceAllocatorRef = Kestrix::Ref<StatInstanceAllocator>;

}  // namespace Stats
