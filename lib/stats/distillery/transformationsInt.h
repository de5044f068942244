// The arithmetic of transforms (per sample, on sources) and cookings (on
// emission), as templates over their codes so that each instance class has
// its own straight-line code.
//
// Decisions beyond the plain formulas, all of them about values that would
// otherwise be wrong: an InvalidValue operand gives InvalidValue; an overflow
// of the 64-bit parts gives InvalidValue; a cumulative counter that went down
// (Delta, Difference, Rate) gives InvalidValue for that sample rather than a
// negative increase; elapsed time is taken from the pass's monotonic clock.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>

#include "kestrix/assert.h"
#include "public/stats/statDef.h"
#include "public/stats/statValue.h"
#include "stats/distillery/statInstanceInt.h"

namespace Stats {
namespace Distillery {

/// Plus, Minus, Times and Over are the checked arithmetic of statValue.h
/// (same results: InvalidValue for an invalid operand, an overflow or a zero
/// divisor) with fast paths for what the graph meets on every sample:
/// integer operands (raw counters, elapsed times, counts) and products whose
/// parts fit in 64 bits once cross-reduced. Anything else goes to the general
/// 128-bit functions. Each result is normalised, as every value must be.
namespace FastPath {

inline bool IsInteger(const StatValue& v) {
  return v.denominator() == 1 && v.numerator() != std::numeric_limits<int64_t>::min();
}
/// Integer: n/1 without normalisation; INT64_MIN is the marker, not a value.
inline StatValue Integer(int64_t n) { return n == std::numeric_limits<int64_t>::min() ? InvalidValue : StatValue(n); }
inline uint64_t Magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }
/// Gcd of |a| and |b| (binary: no division, which is slow for 64 bits);
/// gcd(0, b) is |b|.
inline int64_t Gcd(int64_t a, int64_t b) {
  uint64_t x = Magnitude(a), y = Magnitude(b);
  if (x == 1 || y == 1) return 1;
  if (x == 0 || y == 0) return static_cast<int64_t>(x | y);
  const int shift = __builtin_ctzll(x | y);
  x >>= __builtin_ctzll(x);
  if (x == 1) return static_cast<int64_t>(uint64_t{1} << shift);  // a power-of-two scale or divisor
  do {
    y >>= __builtin_ctzll(y);
    if (x > y) std::swap(x, y);
    y -= x;
  } while (y != 0);
  return static_cast<int64_t>(x << shift);
}

/// Product of n1/d1 and n2/d2 (each coprime, denominators positive, no part
/// INT64_MIN) into out; false when a part of the reduced product does not fit.
inline bool Product(int64_t n1, int64_t d1, int64_t n2, int64_t d2, StatValue& out) {
  const int64_t g1 = Gcd(n1, d2);  // gcd(0, d) is d
  const int64_t g2 = Gcd(n2, d1);
  if (g1 != 1) {
    n1 /= g1;
    d2 /= g1;
  }
  if (g2 != 1) {
    n2 /= g2;
    d1 /= g2;
  }
  int64_t n, d;
  if (__builtin_mul_overflow(n1, n2, &n) || __builtin_mul_overflow(d1, d2, &d) ||
      n == std::numeric_limits<int64_t>::min()) {
    return false;
  }
  if (n == 0) d = 1;
  // Cross-reduced coprime parts give a coprime product: boost's own
  // normalisation finds gcd 1 and changes nothing.
  out = d == 1 ? StatValue(n) : StatValue(n, d);
  return true;
}

}  // namespace FastPath

inline StatValue Plus(const StatValue& a, const StatValue& b) {
  int64_t r;
  if (FastPath::IsInteger(a) && FastPath::IsInteger(b)) {
    return __builtin_add_overflow(a.numerator(), b.numerator(), &r) ? InvalidValue : FastPath::Integer(r);
  }
  return CheckedAdd(a, b);
}

inline StatValue Minus(const StatValue& a, const StatValue& b) {
  int64_t r;
  if (FastPath::IsInteger(a) && FastPath::IsInteger(b)) {
    return __builtin_sub_overflow(a.numerator(), b.numerator(), &r) ? InvalidValue : FastPath::Integer(r);
  }
  return CheckedSubtract(a, b);
}

inline StatValue Times(const StatValue& a, const StatValue& b) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (IsInvalid(a) || IsInvalid(b)) return InvalidValue;
  StatValue out;
  if (a.numerator() != kMin && b.numerator() != kMin &&
      FastPath::Product(a.numerator(), a.denominator(), b.numerator(), b.denominator(), out)) {
    return out;
  }
  return CheckedMultiply(a, b);
}

inline StatValue Over(const StatValue& a, const StatValue& b) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (IsInvalid(a) || IsInvalid(b) || b.numerator() == 0) return InvalidValue;
  StatValue out;
  if (a.numerator() != kMin && b.numerator() != kMin) {
    // a / b is a times the reciprocal of b, its sign carried by the numerator.
    const bool negative = b.numerator() < 0;
    const int64_t n2 = negative ? -b.denominator() : b.denominator();
    const int64_t d2 = negative ? -b.numerator() : b.numerator();
    if (FastPath::Product(a.numerator(), a.denominator(), n2, d2, out)) return out;
  }
  return CheckedDivide(a, b);
}

/// NonNegative returns v, or InvalidValue when v is below zero.
inline StatValue NonNegative(const StatValue& v) {
  return !IsInvalid(v) && v.numerator() < 0 ? InvalidValue : v;
}

/// Transform computes a source's output from its current and previous samples.
template <StatTransform T>
struct Transform;

template <>
struct Transform<StatTransform::Raw> {
  static StatValue Apply(const Sample& current, const Sample&) { return current.value; }
};

template <>
struct Transform<StatTransform::Delta> {
  // No timestamp test: two samples of one pass still give a delta.
  static StatValue Apply(const Sample& current, const Sample& previous) {
    if (IsInvalid(previous.value)) return InvalidValue;
    return NonNegative(Minus(current.value, previous.value));
  }
};

// Aggregations and formulas compute their output themselves; reaching the
// generic per-sample path with them is an internal error.
template <>
struct Transform<StatTransform::Aggregation> {
  [[noreturn]] static StatValue Apply(const Sample&, const Sample&) {
    KESTRIX_NOT_REACHED_AT("lib/stats/distillery/transformationsInt");
  }
};
template <>
struct Transform<StatTransform::Formula> {
  [[noreturn]] static StatValue Apply(const Sample&, const Sample&) {
    KESTRIX_NOT_REACHED_AT("lib/stats/distillery/transformationsInt");
  }
};

/// HasInterval: a previous sample exists and the pass clock moved forward.
inline bool HasInterval(const Sample& current, const Sample& previous) {
  return previous.timestamp != NoTimestamp && current.monotonic != NoTimestamp &&
         previous.monotonic != NoTimestamp && current.monotonic > previous.monotonic;
}

/// Elapsed is the monotonic time between the two samples as a value.
inline StatValue Elapsed(const Sample& current, const Sample& previous) {
  const uint64_t us = current.monotonic - previous.monotonic;
  return us > static_cast<uint64_t>(INT64_MAX) ? InvalidValue : StatValue(static_cast<int64_t>(us));
}

/// Cook turns an output into the emitted value (before scaling).
template <StatCooking C>
struct Cook;

template <>
struct Cook<StatCooking::None> {
  static StatValue Apply(const StatValue& output, const Sample&, const Sample&) { return output; }
};

template <>
struct Cook<StatCooking::Difference> {
  static StatValue Apply(const StatValue& output, const Sample& current, const Sample& previous) {
    if (!HasInterval(current, previous) || IsInvalid(previous.value)) return InvalidValue;
    return NonNegative(Minus(output, previous.value));
  }
};

template <>
struct Cook<StatCooking::Rate> {
  static StatValue Apply(const StatValue& output, const Sample& current, const Sample& previous) {
    if (!HasInterval(current, previous) || IsInvalid(previous.value)) return InvalidValue;
    return Over(NonNegative(Minus(output, previous.value)), Elapsed(current, previous));
  }
};

template <>
struct Cook<StatCooking::PerTime> {
  static StatValue Apply(const StatValue& output, const Sample& current, const Sample& previous) {
    if (!HasInterval(current, previous)) return InvalidValue;
    return Over(output, Elapsed(current, previous));
  }
};

}  // namespace Distillery
}  // namespace Stats
