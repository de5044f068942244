// The instance graph's internal interfaces: the distillery instance hierarchy,
// the creator through which instances talk to the query that owns them, the
// intrusive list hook, and the per-pass clock.
//
// Sources receive raw values and push their transformed output to dependents
// (aggregations and derived formulas); every instance can emit its cooked and
// scaled value to a writer. The concrete classes are templates over their codes
// (rawStatInstanceInt.h), chosen once by the factories (factoriesInt.h), so no
// per-sample code tests a kind.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "kestrix/object.h"
#include "public/stats/statDef.h"
#include "public/stats/statInstance.h"
#include "public/stats/statInstanceWriter.h"
#include "public/stats/statValue.h"

namespace Stats {

/// SingleThreadedModel: the instances of one query are used by one thread at a
/// time; no operation takes a lock.
struct SingleThreadedModel {};

namespace Utils {

/// DoubleLinkable is an intrusive list hook. An unlinked hook points to itself;
/// destroying a linked object unlinks it. The hook holds no reference.
class DoubleLinkable {
public:
  struct DblLnkLst_Links {
    DoubleLinkable* next;
    DoubleLinkable* prev;
  };

  DoubleLinkable() : links_{this, this} {}
  DoubleLinkable(const DoubleLinkable&) = delete;
  DoubleLinkable& operator=(const DoubleLinkable&) = delete;
  ~DoubleLinkable() { Unlink(); }

  bool IsLinked() const { return links_.next != this; }
  /// Unlink leaves the list (no-op when unlinked).
  void Unlink() {
    links_.prev->links_.next = links_.next;
    links_.next->links_.prev = links_.prev;
    links_.next = links_.prev = this;
  }
  /// InsertBefore links this in front of at (at the tail when at is a head).
  void InsertBefore(DoubleLinkable* at) {
    Unlink();
    links_.next = at;
    links_.prev = at->links_.prev;
    at->links_.prev->links_.next = this;
    at->links_.prev = this;
  }
  DoubleLinkable* Next() const { return links_.next; }

private:
  DblLnkLst_Links links_;
};

/// IntrusiveList<T> lists T objects (T derives from DoubleLinkable) in
/// insertion order. Walks that may unlink the current element take the next
/// one first (see ForEach).
template <class T>
class IntrusiveList {
public:
  IntrusiveList() = default;
  IntrusiveList(const IntrusiveList&) = delete;
  IntrusiveList& operator=(const IntrusiveList&) = delete;
  ~IntrusiveList() {
    while (head_.Next() != &head_) head_.Next()->Unlink();
  }
  void PushBack(T* item) { static_cast<DoubleLinkable*>(item)->InsertBefore(&head_); }
  bool Empty() const { return head_.Next() == &head_; }
  size_t Size() const {
    size_t n = 0;
    for (const DoubleLinkable* p = head_.Next(); p != &head_; p = p->Next()) ++n;
    return n;
  }
  /// First returns the first element, or null when the list is empty.
  T* First() const { return head_.Next() == &head_ ? nullptr : static_cast<T*>(head_.Next()); }
  /// After returns the element that follows item (linked in this list), or
  /// null when item is the last.
  T* After(T* item) const {
    DoubleLinkable* next = static_cast<DoubleLinkable*>(item)->Next();
    return next == &head_ ? nullptr : static_cast<T*>(next);
  }
  /// ForEach calls f(T*) for each element; f may unlink (or destroy) the
  /// element it is given, but no other.
  template <class F>
  void ForEach(F&& f) {
    for (DoubleLinkable* p = head_.Next(); p != &head_;) {
      DoubleLinkable* next = p->Next();
      f(static_cast<T*>(p));
      p = next;
    }
  }

private:
  DoubleLinkable head_;
};

}  // namespace Utils

namespace Distillery {

/// PassClock is the time of the running query pass: the UTC timestamp that is
/// written with every value, and the monotonic time taken with it, from which
/// cookings take elapsed times (so a wall-clock step never distorts a rate).
struct PassClock {
  uint64_t utc = NoTimestamp;
  uint64_t monotonic = NoTimestamp;
};

/// Sample is one value with its UTC timestamp and the pass's monotonic time.
struct Sample {
  StatValue value = InvalidValue;
  uint64_t timestamp = NoTimestamp;
  uint64_t monotonic = NoTimestamp;
};

class StatInstance;
class SourceStatInstance;
class DependentStatInstance;
using StatInstanceRef = Kestrix::Ref<StatInstance>;
using DependentStatInstanceRef = Kestrix::Ref<DependentStatInstance>;

/// StatInstanceCreator is implemented by the query that owns the instances.
class StatInstanceCreator : public virtual Kestrix::Object {
public:
  /// CreateSourceInstance builds a source instance and everything that depends
  /// on it; returns it (owned by the query's instance map).
  virtual StatInstanceRef CreateSourceInstance(int64_t statId, const StatDefRef& def,
                                               const AttributeValues& attributeValues) = 0;
  /// OnInstanceRemoved: instance leaves the graph; the query forgets it and
  /// frees its key.
  virtual void OnInstanceRemoved(StatInstance& instance) = 0;
};

/// StatInstance is every live instance of the graph.
class StatInstance : public virtual StatInstanceWriter {
public:
  virtual int64_t GetStatId() const = 0;
  virtual const StatDefRef& GetStatDef() const = 0;
  virtual const AttributeValues& GetAttributes() const = 0;
  /// Emit cooks and scales the output, writes it to writer (when given) and
  /// returns it as an integer (INT64_MIN for no value). An instance that never
  /// received a sample writes nothing.
  virtual int64_t Emit(StatInstanceWriter* writer) = 0;
  /// Expire (sources only): true when the instance expired and left the graph.
  virtual bool Expire(StatInstanceCreator* creator, uint64_t now, uint64_t ttl) = 0;
  virtual uint64_t GetKey() const = 0;
  /// GetName: "Source"/"Aggregation"/"Derived" + "Stat{<def text>:<instance text>}".
  virtual std::string GetName() const = 0;
  /// The current and previous samples and the output, for inspection.
  virtual const Sample& GetCurrent() const = 0;
  virtual const Sample& GetPrevious() const = 0;
  virtual const StatValue& GetOutput() const = 0;
};

using DependentList = std::list<DependentStatInstanceRef>;

/// SourceStatInstance is an instance that feeds dependents.
class SourceStatInstance : public virtual StatInstance {
public:
  using DependentHandle = DependentList::iterator;
  virtual DependentHandle AddDependent(const DependentStatInstanceRef& dependent) = 0;
  virtual void RemoveDependent(DependentHandle handle) = 0;
  virtual size_t GetDependentCount() const = 0;
};

/// SourceStatInstanceLinked sits in the query's source list.
class SourceStatInstanceLinked : public virtual SourceStatInstance, public Utils::DoubleLinkable {};

/// DependentStatInstance is fed by sources.
class DependentStatInstance : public virtual SourceStatInstance {
public:
  /// OnSourceValue: a source pushes its output; true asks the source to drop
  /// this dependent.
  virtual bool OnSourceValue(uint64_t sourceStatId, uint64_t timestamp, const StatValue* value,
                             StatInstanceWriter* writer) = 0;
  /// AttachTo adds this to source's dependents; countAsUser adds one user.
  virtual void AttachTo(SourceStatInstance& source, bool countAsUser) = 0;
  /// Release drops one user; at the last it leaves the graph (true).
  virtual bool Release(StatInstanceCreator* creator) = 0;
  virtual uint64_t GetUsers() const = 0;
};

/// AggregatedStatInstance folds many sources over one query pass.
class AggregatedStatInstance : public virtual DependentStatInstance {
public:
  virtual void CompleteAggregation(uint64_t timestamp, StatInstanceWriter* writer) = 0;
  /// ClearPeriod drops what the running period accumulated, without a result
  /// (a pass that failed leaves nothing behind).
  virtual void ClearPeriod() = 0;
};

/// AggregatedStatInstanceLinked sits in the query's aggregation list.
class AggregatedStatInstanceLinked : public virtual AggregatedStatInstance, public Utils::DoubleLinkable {};

/// DerivedStatInstance: marker of the derived kind (a formula over 1-4 sources).
class DerivedStatInstance : public virtual DependentStatInstance {};

}  // namespace Distillery
}  // namespace Stats
