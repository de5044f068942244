// Stat instances: one statistic for one tuple of attribute values, the value
// records that retrieval produces, and their text form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/object.h"

namespace Stats {

/// Wildcard is the attribute value that stands for every value of an attribute
/// (valid only where the attribute allows wildcards).
extern const char* const Wildcard;  // "*"

using AttributeValues = std::vector<std::string>;

/// StatInstance: a stat id (registry id) and one value per attribute.
class StatInstance : public virtual Kestrix::Object {
public:
  StatInstance(int64_t statId, AttributeValues attributeValues)
      : statId_(statId), attributeValues_(std::move(attributeValues)) {}
  int64_t GetStatId() const { return statId_; }
  const AttributeValues& GetAttributeValues() const { return attributeValues_; }

private:
  const int64_t statId_;
  const AttributeValues attributeValues_;
};
using StatInstanceConstRef = Kestrix::Ref<const StatInstance>;
using StatInstanceList = std::vector<StatInstanceConstRef>;

/// PlainStatInstance is a reference-counted StatInstance for requests.
class PlainStatInstance : public StatInstance, public Kestrix::ObjectImpl {
public:
  using StatInstance::StatInstance;
};

/// MakeStatInstance returns a new counted instance.
StatInstanceConstRef MakeStatInstance(int64_t statId, AttributeValues attributeValues);

/// StatInstanceValue: an instance with the raw value collected for it.
class StatInstanceValue : public StatInstance, public Kestrix::ObjectImpl {
public:
  StatInstanceValue(int64_t statId, AttributeValues attributeValues, int64_t value, bool hasValue)
      : StatInstance(statId, std::move(attributeValues)), value_(value), hasValue_(hasValue) {}
  int64_t GetValue() const { return value_; }
  bool HasValue() const { return hasValue_; }

private:
  const int64_t value_;
  const bool hasValue_;
};
using StatInstanceValueRef = Kestrix::Ref<StatInstanceValue>;

/// InstanceToString: statId "(" quoted values joined by "," ")", e.g. "17('0')", "7()".
std::string InstanceToString(int64_t statId, const AttributeValues& values);
inline std::string InstanceToString(const StatInstance& i) {
  return InstanceToString(i.GetStatId(), i.GetAttributeValues());
}

}  // namespace Stats
