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

#include "kestrix/assert.h"
#include "public/stats/statDef.h"
#include "public/stats/statValue.h"
#include "stats/distillery/statInstanceInt.h"

namespace Stats {
namespace Distillery {

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
    return NonNegative(CheckedSubtract(current.value, previous.value));
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
    return NonNegative(CheckedSubtract(output, previous.value));
  }
};

template <>
struct Cook<StatCooking::Rate> {
  static StatValue Apply(const StatValue& output, const Sample& current, const Sample& previous) {
    if (!HasInterval(current, previous) || IsInvalid(previous.value)) return InvalidValue;
    return CheckedDivide(NonNegative(CheckedSubtract(output, previous.value)), Elapsed(current, previous));
  }
};

template <>
struct Cook<StatCooking::PerTime> {
  static StatValue Apply(const StatValue& output, const Sample& current, const Sample& previous) {
    if (!HasInterval(current, previous)) return InvalidValue;
    return CheckedDivide(output, Elapsed(current, previous));
  }
};

}  // namespace Distillery
}  // namespace Stats
