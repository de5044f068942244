// Stat values: the exact rational of two signed 64-bit integers that every
// value of the instance graph is, its "no value" marker `InvalidValue`, and
// checked arithmetic that never overflows silently.
//
// Use the Checked* functions for every arithmetic step on values: they yield
// `InvalidValue` on overflow, on a zero divisor or when an operand is
// `InvalidValue`, and they never reach undefined behaviour.
#pragma once

#include <boost/rational.hpp>
#include <cstdint>
#include <limits>

namespace Stats {

/// StatValue is always normalised (denominator positive, coprime parts).
using StatValue = boost::rational<int64_t>;

/// InvalidValue (numerator INT64_MIN, denominator 1) means "no value" and sorts
/// below every other value. It is built without normalisation, so it is safe
/// to use from static initialisers.
extern const StatValue InvalidValue;

/// IsInvalid is true exactly for numerator INT64_MIN with denominator 1.
inline bool IsInvalid(const StatValue& v) {
  return v.numerator() == std::numeric_limits<int64_t>::min() && v.denominator() == 1;
}

/// CheckedAdd returns a + b, or InvalidValue (see the file comment).
StatValue CheckedAdd(const StatValue& a, const StatValue& b);
/// CheckedSubtract returns a - b, or InvalidValue.
StatValue CheckedSubtract(const StatValue& a, const StatValue& b);
/// CheckedMultiply returns a * b, or InvalidValue.
StatValue CheckedMultiply(const StatValue& a, const StatValue& b);
/// CheckedDivide returns a / b, or InvalidValue (also when b is 0).
StatValue CheckedDivide(const StatValue& a, const StatValue& b);
/// MakeValue returns n/d normalised, or InvalidValue when d is 0, n/d cannot be
/// represented, or the result would equal the marker itself.
StatValue MakeValue(int64_t n, int64_t d = 1);
/// ValueLess is a < b in the value order (InvalidValue below everything). Use
/// it instead of boost's operator<, whose algorithm overflows on INT64_MIN
/// numerators.
bool ValueLess(const StatValue& a, const StatValue& b);
/// ToInteger truncates toward zero; InvalidValue gives INT64_MIN.
int64_t ToInteger(const StatValue& v);

}  // namespace Stats
