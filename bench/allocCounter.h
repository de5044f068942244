// Heap-allocation counting for benchmarks: including this header in a
// benchmark's one source file replaces the global operator new/delete of that
// binary (shared libraries included) with malloc/free wrappers that count each
// allocation. Read `BenchAlloc::Count()` before and after the code of
// interest; the difference is the number of allocations it made, on any
// thread. Include it in exactly one translation unit per binary.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace BenchAlloc {

// Relaxed: only differences of the total are read, after the counted code ran.
inline std::atomic<uint64_t> allocations{0};

/// Count returns the number of allocations made so far by this process.
inline uint64_t Count() { return allocations.load(std::memory_order_relaxed); }

inline void* Allocate(std::size_t size, std::size_t alignment) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size ? size : 1);
  } else if (posix_memalign(&p, alignment, size ? size : 1) != 0) {
    p = nullptr;
  }
  return p;
}

inline void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
  if (void* p = Allocate(size, alignment)) return p;
  throw std::bad_alloc();
}

}  // namespace BenchAlloc

void* operator new(std::size_t n) { return BenchAlloc::AllocateOrThrow(n, 0); }
void* operator new[](std::size_t n) { return BenchAlloc::AllocateOrThrow(n, 0); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return BenchAlloc::Allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return BenchAlloc::Allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
  return BenchAlloc::AllocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return BenchAlloc::AllocateOrThrow(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return BenchAlloc::Allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return BenchAlloc::Allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
