#include "public/stats/statValue.h"

namespace Stats {
namespace {

using Wide = __int128;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

Wide Abs(Wide v) { return v < 0 ? -v : v; }

Wide Gcd(Wide a, Wide b) {
  a = Abs(a);
  b = Abs(b);
  while (b != 0) {
    Wide t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// Reduce n/d (d != 0) and return it when both parts fit; the marker's own
// numerator is refused so that no value can be mistaken for "no value".
StatValue Narrow(Wide n, Wide d) {
  if (d < 0) {
    n = -n;
    d = -d;
  }
  Wide g = Gcd(n, d);
  if (g > 1) {
    n /= g;
    d /= g;
  }
  if (n <= kMin || n > kMax || d > kMax) return InvalidValue;
  // Already coprime with a positive denominator: boost's normalisation is a
  // no-op and cannot overflow.
  return StatValue(static_cast<int64_t>(n), static_cast<int64_t>(d));
}

}  // namespace

// The one-argument constructor does not normalise, so no gcd of INT64_MIN runs.
const StatValue InvalidValue(kMin);

StatValue MakeValue(int64_t n, int64_t d) {
  if (d == 0) return InvalidValue;
  return Narrow(n, d);
}

StatValue CheckedAdd(const StatValue& a, const StatValue& b) {
  if (IsInvalid(a) || IsInvalid(b)) return InvalidValue;
  return Narrow(Wide(a.numerator()) * b.denominator() + Wide(b.numerator()) * a.denominator(),
                Wide(a.denominator()) * b.denominator());
}

StatValue CheckedSubtract(const StatValue& a, const StatValue& b) {
  if (IsInvalid(a) || IsInvalid(b)) return InvalidValue;
  return Narrow(Wide(a.numerator()) * b.denominator() - Wide(b.numerator()) * a.denominator(),
                Wide(a.denominator()) * b.denominator());
}

StatValue CheckedMultiply(const StatValue& a, const StatValue& b) {
  if (IsInvalid(a) || IsInvalid(b)) return InvalidValue;
  return Narrow(Wide(a.numerator()) * b.numerator(), Wide(a.denominator()) * b.denominator());
}

StatValue CheckedDivide(const StatValue& a, const StatValue& b) {
  if (IsInvalid(a) || IsInvalid(b) || b.numerator() == 0) return InvalidValue;
  return Narrow(Wide(a.numerator()) * b.denominator(), Wide(a.denominator()) * b.numerator());
}

bool ValueLess(const StatValue& a, const StatValue& b) {
  const bool ia = IsInvalid(a), ib = IsInvalid(b);
  if (ia || ib) return ia && !ib;
  // Denominators are positive, so cross-multiplying keeps the order; the
  // products of two 64-bit parts fit in 128 bits.
  return Wide(a.numerator()) * b.denominator() < Wide(b.numerator()) * a.denominator();
}

int64_t ToInteger(const StatValue& v) {
  if (IsInvalid(v)) return kMin;
  return v.numerator() / v.denominator();  // C++ division truncates toward zero
}

}  // namespace Stats
