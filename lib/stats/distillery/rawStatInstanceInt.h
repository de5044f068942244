// The concrete instance classes: one class per combination of codes, so the
// per-sample path is straight-line code. Samples, output and accumulators are
// fixed fields: processing a sample allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "kestrix/assert.h"
#include "public/stats/statDef.h"
#include "public/stats/statInstance.h"
#include "stats/distillery/statInstanceInt.h"
#include "stats/distillery/transformationsInt.h"

namespace Stats {
namespace Distillery {

/// StatInstanceBase holds the state every instance has and implements the
/// writer, instance and source operations. T and C fix the transform and the
/// cooking at compile time.
template <StatTransform T, StatCooking C, class Model>
class StatInstanceBase : public virtual SourceStatInstance,
                         public Stats::StatInstance,
                         public Kestrix::ObjectImpl {
public:
  StatInstanceBase(int64_t statId, StatDefRef def, AttributeValues values, uint64_t key,
                   const PassClock* clock)
      : Stats::StatInstance(statId, std::move(values)),
        def_(std::move(def)),
        key_(key),
        clock_(clock),
        output_(0) {}

  // StatInstanceWriter
  void Write(uint64_t /*key*/, uint64_t timestamp, const StatValue* value,
             StatInstanceWriter* downstream) override {
    previous_ = current_;
    current_ = Sample{*value, timestamp, MonotonicFor(timestamp)};
    if (downstream && key_ != NoKey) downstream->Write(key_, timestamp, value, downstream);
    output_ = Transform<T>::Apply(current_, previous_);
    Propagate(downstream);
  }
  bool IsCollected() const override { return key_ != NoKey; }

  // StatInstance
  int64_t GetStatId() const override { return Stats::StatInstance::GetStatId(); }
  const StatDefRef& GetStatDef() const override { return def_; }
  const AttributeValues& GetAttributes() const override { return GetAttributeValues(); }
  int64_t Emit(StatInstanceWriter* writer) override {
    // Nothing was ever sampled: there is no value and no time to write it at.
    if (current_.timestamp == NoTimestamp) return ToInteger(InvalidValue);
    StatValue v = Cook<C>::Apply(output_, current_, previous_);
    if (!IsInvalid(v)) v = Times(v, def_->GetScale());
    if (writer) {
      // Uncollected: the object's own identity (its complete object's address).
      const uint64_t k = key_ != NoKey ? key_ : static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dynamic_cast<const void*>(this)));
      writer->Write(k, current_.timestamp, &v, nullptr);
    }
    return ToInteger(v);
  }
  bool Expire(StatInstanceCreator*, uint64_t, uint64_t) override { return false; }
  uint64_t GetKey() const override { return key_; }
  std::string GetName() const override { return "Stat{" + StatDefToString(*def_) + ":" + InstanceToString(*this) + "}"; }
  const Sample& GetCurrent() const override { return current_; }
  const Sample& GetPrevious() const override { return previous_; }
  const StatValue& GetOutput() const override { return output_; }

  // SourceStatInstance
  DependentHandle AddDependent(const DependentStatInstanceRef& dependent) override {
    return dependents_.insert(dependents_.end(), dependent);
  }
  void RemoveDependent(DependentHandle handle) override { dependents_.erase(handle); }
  size_t GetDependentCount() const override { return dependents_.size(); }

protected:
  uint64_t MonotonicFor(uint64_t timestamp) const {
    // Values of the running pass carry the pass's monotonic time; an instance
    // used without a query (or an out-of-pass timestamp) falls back to UTC.
    return clock_ && clock_->utc == timestamp ? clock_->monotonic : timestamp;
  }

  /// Propagate pushes the output to every dependent; one that answers true is
  /// dropped (the next entry is taken before the call).
  void Propagate(StatInstanceWriter* downstream) {
    const uint64_t id = static_cast<uint64_t>(GetStatId());
    for (auto it = dependents_.begin(); it != dependents_.end();) {
      auto next = std::next(it);
      if ((*it)->OnSourceValue(id, current_.timestamp, &output_, downstream)) dependents_.erase(it);
      it = next;
    }
  }

  /// ReleaseDependents releases every dependent that has no more attribute
  /// values than this instance (a less specific source never counts as user).
  void ReleaseDependents(StatInstanceCreator* creator) {
    const size_t mine = GetAttributeValues().size();
    for (auto it = dependents_.begin(); it != dependents_.end();) {
      auto next = std::next(it);
      DependentStatInstanceRef d = *it;  // keep it alive through its release
      if (mine >= d->GetAttributes().size()) d->Release(creator);
      it = next;
    }
  }

  const StatDefRef def_;
  const uint64_t key_;
  const PassClock* const clock_;  // the owning query's pass clock, or null
  DependentList dependents_;
  StatValue output_;
  Sample current_;
  Sample previous_;
};

/// SourceStatInstanceImpl: a source fed by a provider (T is Raw or Delta).
template <StatTransform T, StatCooking C, class Model>
class SourceStatInstanceImpl : public SourceStatInstanceLinked, public StatInstanceBase<T, C, Model> {
public:
  using Base = StatInstanceBase<T, C, Model>;
  using Base::Base;

  // StatInstance
  bool Expire(StatInstanceCreator* creator, uint64_t now, uint64_t ttl) override {
    const uint64_t ts = this->current_.timestamp;
    if (ts != NoTimestamp) {
      const uint64_t until = ts > NoTimestamp - ttl ? NoTimestamp : ts + ttl;  // saturating
      if (until >= now) return false;
    }
    this->ReleaseDependents(creator);
    this->Unlink();
    // The creator may drop the last reference to this: nothing is touched after.
    if (creator) creator->OnInstanceRemoved(*this);
    return true;
  }
  std::string GetName() const override { return "Source" + Base::GetName(); }
};

/// DependentStatInstanceImpl adds the users count and the release protocol.
template <StatTransform T, StatCooking C, class Model>
class DependentStatInstanceImpl : public virtual DependentStatInstance, public StatInstanceBase<T, C, Model> {
public:
  using Base = StatInstanceBase<T, C, Model>;
  using Base::Base;

  // DependentStatInstance
  void AttachTo(SourceStatInstance& source, bool countAsUser) override {
    source.AddDependent(DependentStatInstanceRef(this));
    if (countAsUser) ++users_;
  }
  bool Release(StatInstanceCreator* creator) override {
    if (users_ == 0) return false;
    if (--users_ != 0) return false;
    OnLastUser();
    this->ReleaseDependents(creator);
    LeaveList();
    if (creator) creator->OnInstanceRemoved(*this);
    return true;
  }
  uint64_t GetUsers() const override { return users_; }

protected:
  virtual void OnLastUser() {}
  virtual void LeaveList() {}

  /// WriteResult records a computed result as the instance's sample, pushes it
  /// to the own dependents and hands it downstream (no key test).
  void WriteResult(uint64_t timestamp, const StatValue& value, StatInstanceWriter* downstream) {
    this->previous_ = this->current_;
    this->current_ = Sample{value, timestamp, this->MonotonicFor(timestamp)};
    this->output_ = value;
    this->Propagate(downstream);
    if (downstream) downstream->Write(this->key_, timestamp, &this->current_.value, downstream);
  }

  uint64_t users_ = 0;
};

/// Aggregation step and reset per code. Overflow is sticky: an accumulator
/// that overflowed stays invalid for the rest of its period.
template <StatAggregation A>
struct AggregationStep;

template <>
struct AggregationStep<StatAggregation::Sum> {
  static StatValue Initial() { return StatValue(0); }
  static void Add(StatValue& acc, bool& overflow, const StatValue& v) {
    acc = Plus(acc, v);
    overflow = overflow || IsInvalid(acc);
  }
  static StatValue Result(const StatValue& acc, int64_t count, bool overflow) {
    return count > 0 && !overflow ? acc : InvalidValue;
  }
};
template <>
struct AggregationStep<StatAggregation::Average> {
  static StatValue Initial() { return StatValue(0); }
  static void Add(StatValue& acc, bool& overflow, const StatValue& v) {
    AggregationStep<StatAggregation::Sum>::Add(acc, overflow, v);
  }
  static StatValue Result(const StatValue& acc, int64_t count, bool overflow) {
    return count > 0 && !overflow ? Over(acc, StatValue(count)) : InvalidValue;
  }
};
template <>
struct AggregationStep<StatAggregation::Maximum> {
  static StatValue Initial() { return InvalidValue; }
  static void Add(StatValue& acc, bool&, const StatValue& v) {
    if (ValueLess(acc, v)) acc = v;
  }
  static StatValue Result(const StatValue& acc, int64_t, bool) { return acc; }
};
template <>
struct AggregationStep<StatAggregation::Minimum> {
  static StatValue Initial() { return InvalidValue; }
  static void Add(StatValue& acc, bool&, const StatValue& v) {
    if (IsInvalid(acc) || ValueLess(v, acc)) acc = v;
  }
  static StatValue Result(const StatValue& acc, int64_t, bool) { return acc; }
};

/// AggregatedStatInstanceImpl folds the values of many sources over one pass.
template <StatAggregation A, StatCooking C, class Model>
class AggregatedStatInstanceImpl : public AggregatedStatInstanceLinked,
                                   public DependentStatInstanceImpl<StatTransform::Aggregation, C, Model> {
public:
  using Base = DependentStatInstanceImpl<StatTransform::Aggregation, C, Model>;
  AggregatedStatInstanceImpl(int64_t statId, StatDefRef def, AttributeValues values, uint64_t key,
                             const PassClock* clock)
      : Base(statId, std::move(def), std::move(values), key, clock),
        accumulator_(AggregationStep<A>::Initial()) {}

  // StatInstanceWriter
  void Write(uint64_t, uint64_t timestamp, const StatValue* value, StatInstanceWriter* downstream) override {
    this->WriteResult(timestamp, *value, downstream);
  }

  // DependentStatInstance
  bool OnSourceValue(uint64_t, uint64_t, const StatValue* value, StatInstanceWriter*) override {
    if (!IsInvalid(*value)) {
      AggregationStep<A>::Add(accumulator_, overflow_, *value);
      ++count_;
    }
    return false;  // an aggregation never asks to be dropped
  }

  // AggregatedStatInstance
  void CompleteAggregation(uint64_t timestamp, StatInstanceWriter* writer) override {
    const StatValue result = AggregationStep<A>::Result(accumulator_, count_, overflow_);
    ClearPeriod();
    Write(NoKey, timestamp, &result, writer);
  }

  void ClearPeriod() override {
    accumulator_ = AggregationStep<A>::Initial();
    count_ = 0;
    overflow_ = false;
  }

  std::string GetName() const override { return "Aggregation" + Base::Base::GetName(); }
  int64_t GetCount() const { return count_; }

protected:
  void LeaveList() override { this->Unlink(); }

private:
  StatValue accumulator_;
  int64_t count_ = 0;
  bool overflow_ = false;
};

/// One source slot of a derived instance.
struct FormulaSlot {
  uint64_t sourceStatId;
  StatValue value;
};

/// Formula computes a derived output from complete slots.
template <StatFormula F, size_t N>
struct FormulaOf;

template <size_t N>
struct FormulaOf<StatFormula::First, N> {
  static StatValue Compute(const std::array<FormulaSlot, N>& s) { return s[0].value; }
};
template <size_t N>
struct FormulaOf<StatFormula::Sum, N> {
  static StatValue Compute(const std::array<FormulaSlot, N>& s) {
    StatValue out(0);
    for (const auto& slot : s) {
      out = Plus(out, slot.value);
      if (IsInvalid(out)) break;
    }
    return out;
  }
};
template <size_t N>
struct FormulaOf<StatFormula::Subtract, N> {
  static StatValue Compute(const std::array<FormulaSlot, N>& s) {
    StatValue out = s[0].value;
    for (size_t i = 1; i < N && !IsInvalid(out); ++i) out = Minus(out, s[i].value);
    return out;
  }
};
template <size_t N>
struct FormulaOf<StatFormula::Multiply, N> {
  static StatValue Compute(const std::array<FormulaSlot, N>& s) {
    StatValue out(1);
    for (const auto& slot : s) {
      out = Times(out, slot.value);
      if (IsInvalid(out)) break;
    }
    return out;
  }
};
template <size_t N>
struct FormulaOf<StatFormula::Divide, N> {
  // One source has no divisor: no value. A zero divisor: no value.
  static StatValue Compute(const std::array<FormulaSlot, N>& s) {
    if constexpr (N < 2) {
      return InvalidValue;
    } else {
      return Over(s[0].value, s[1].value);
    }
  }
};

/// DerivedStatInstanceImpl applies formula F to N sources that report for the
/// same timestamp.
template <StatFormula F, StatCooking C, size_t N, class Model>
class DerivedStatInstanceImpl : public virtual DerivedStatInstance,
                                public DependentStatInstanceImpl<StatTransform::Formula, C, Model> {
public:
  using Base = DependentStatInstanceImpl<StatTransform::Formula, C, Model>;
  DerivedStatInstanceImpl(int64_t statId, StatDefRef def, AttributeValues values, uint64_t key,
                          const PassClock* clock)
      : Base(statId, def, std::move(values), key, clock) {
    const auto& sources = def->GetSources();
    KESTRIX_VERIFY_AT(sources.size() == N, "lib/stats/distillery/factoriesInt");
    for (size_t i = 0; i < N; ++i) {
      slots_[i].sourceStatId =
          sources[i].info ? static_cast<uint64_t>(sources[i].info->GetRegistryId()) : NoKey;
      slots_[i].value = InvalidValue;
    }
  }

  // StatInstanceWriter
  void Write(uint64_t, uint64_t timestamp, const StatValue* value, StatInstanceWriter* downstream) override {
    if constexpr (F == StatFormula::SelfDelta) {
      KESTRIX_NOT_REACHED_AT("lib/stats/distillery/transformationsInt");
    } else {
      this->WriteResult(timestamp, *value, downstream);
    }
  }

  // DependentStatInstance
  bool OnSourceValue(uint64_t sourceStatId, uint64_t timestamp, const StatValue* value,
                     StatInstanceWriter* writer) override {
    if constexpr (F == StatFormula::SelfDelta) {
      this->previous_ = this->current_;
      this->current_ = Sample{*value, timestamp, this->MonotonicFor(timestamp)};
      this->output_ = IsInvalid(this->previous_.value) ? InvalidValue
                                                       : Minus(this->current_.value, this->previous_.value);
      this->Propagate(writer);
      if (writer) writer->Write(this->key_, timestamp, &this->current_.value, writer);
      return false;
    } else {
      if (dead_) return true;
      size_t i = 0;
      while (i < N && slots_[i].sourceStatId != sourceStatId) ++i;
      if (i == N) return false;  // not one of the slots
      if (timestamp != pending_) {
        received_ = 0;
        pending_ = timestamp;
        for (auto& s : slots_) s.value = InvalidValue;
      }
      slots_[i].value = *value;
      if (++received_ < N) return false;
      const StatValue output = FormulaOf<F, N>::Compute(slots_);
      Write(NoKey, timestamp, &output, writer);
      return false;
    }
  }

  std::string GetName() const override { return "Derived" + Base::Base::GetName(); }
  bool IsDead() const { return dead_; }

protected:
  void OnLastUser() override { dead_ = true; }

private:
  std::array<FormulaSlot, N> slots_;
  uint64_t received_ = 0;
  uint64_t pending_ = NoTimestamp;
  bool dead_ = false;
};

}  // namespace Distillery
}  // namespace Stats
