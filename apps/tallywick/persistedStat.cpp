#include "apps/tallywick/persistedStat.h"

namespace Tallywick {
namespace {

// Sum of the parts' values; InvalidValue as soon as one part is invalid or the
// sum leaves the representable range.
// A part from another pass than `timestamp` (it got no value in this one, a
// counter that went back, say) makes the sum invalid: mixed with this pass's
// parts, its stale value would give a figure no pass measured.
Stats::StatValue SumOf(const PersistedStatList& parts, uint64_t timestamp) {
  Stats::StatValue sum(0);
  for (const auto& p : parts) {
    if (p->GetTimestamp() != timestamp) return Stats::InvalidValue;
    sum = Stats::CheckedAdd(sum, p->GetValue());
    if (Stats::IsInvalid(sum)) return Stats::InvalidValue;
  }
  return sum;
}

}  // namespace

CollectedStatIdCounter& GetCollectedStatIdCounter() {
  static CollectedStatIdCounter counter;
  return counter;
}

PersistedStat::PersistedStat(std::string name, std::string label, uint32_t valueKind,
                             std::string metadata, CollectedStatId id)
    : name_(std::move(name)),
      label_(std::move(label)),
      valueKind_(valueKind),
      metadata_(std::move(metadata)),
      id_(id) {}

void PersistedStat::SetSample(uint64_t timestamp, const Stats::StatValue& value) {
  timestamp_ = timestamp;
  value_ = value;
}

Stats::StatValue PersistedStat::GetValue() const { return value_; }

uint64_t PersistedStat::GetTimestamp() const { return timestamp_; }

RationalPersistedStat::RationalPersistedStat(std::string name, uint32_t valueKind,
                                             std::string metadata, CollectedStatId id)
    : PersistedStat(std::move(name), std::string(), valueKind, std::move(metadata), id) {}

Stats::StatValue RationalPersistedStat::GetValue() const {
  if (numerators_.empty()) return Stats::InvalidValue;
  const uint64_t timestamp = GetTimestamp();
  const Stats::StatValue numerator = SumOf(numerators_, timestamp);
  if (Stats::IsInvalid(numerator) || denominators_.empty()) return numerator;
  // CheckedDivide yields InvalidValue for an invalid or zero denominator sum.
  const Stats::StatValue quotient = Stats::CheckedDivide(numerator, SumOf(denominators_, timestamp));
  if (!Stats::IsInvalid(ceiling_) && !Stats::IsInvalid(quotient) && Stats::ValueLess(ceiling_, quotient))
    return ceiling_;
  return quotient;
}

uint64_t RationalPersistedStat::GetTimestamp() const {
  return numerators_.empty() ? 0 : numerators_.front()->GetTimestamp();
}

}  // namespace Tallywick
