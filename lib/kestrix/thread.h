// Threads and per-thread values: a key reserved once holds one value per
// thread; a thread's values are released when the thread ends.
#pragma once

#include <cstdint>
#include <string>

#include "kestrix/object.h"

namespace Kestrix {
namespace System {

/// TlsKey names one per-thread slot.
using TlsKey = uint32_t;

/// ReserveTlsKey returns a new key; keys are never reused.
TlsKey ReserveTlsKey();

/// Thread is the calling thread's view of its per-thread values.
class Thread {
public:
  virtual ~Thread() = default;
  /// GetValue returns the value under key (an empty reference when unset).
  virtual Ref<Object> GetValue(TlsKey key) const = 0;
  /// SetValue replaces the value under key; the thread holds a reference to it
  /// until it is replaced or the thread ends.
  virtual void SetValue(TlsKey key, const Ref<Object>& value) = 0;
  /// GetId returns a small number unique among live threads.
  virtual uint64_t GetId() const = 0;
};

/// GetThisThread returns the calling thread.
Thread& GetThisThread();

}  // namespace System
}  // namespace Kestrix
