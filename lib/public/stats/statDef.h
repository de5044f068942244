// Stat definitions and identities: attributes, the four code enumerations,
// `StatDef` with its three constructions, `StatSourceRef`, `StatInfo`, and the
// text forms used in log lines and as keys (`MakeStatKey`).
//
// Definitions are immutable once built and shared through `StatDefRef`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/object.h"
#include "public/stats/statValue.h"

namespace Stats {

/// StatAttributeType indexes a table of 25 entity type names; values outside
/// 0..24 print as "unknown".
using StatAttributeType = int32_t;

/// StatAttributeTypeName returns the fixed name of a type ("D", "host", ...).
const char* StatAttributeTypeName(StatAttributeType type);

/// StatAttribute is one instance dimension of a stat.
struct StatAttribute {
  std::string name;
  StatAttributeType type = 0;
  std::string typeName;  // used only when type is 0
  bool wildcardAllowed = false;
};

/// The four code enumerations held by a StatDef (as plain integers there).
enum class StatTransform : uint32_t { Raw = 0, Aggregation = 1, Formula = 2, Delta = 3 };
enum class StatCooking : uint32_t { None = 0, Difference = 1, Rate = 2, PerTime = 3 };
enum class StatAggregation : int32_t { Sum = 0, Maximum = 1, Minimum = 2, Average = 3 };
enum class StatFormula : int32_t { First = 0, Sum = 1, Subtract = 2, Multiply = 3, Divide = 4, SelfDelta = 5 };

/// Names of the codes ("Raw", "Difference", "Sum", "SelfDelta", ...); "unknown"
/// outside their range.
const char* StatTransformName(uint32_t code);
const char* StatCookingName(uint32_t code);
const char* StatAggregationName(int32_t code);
const char* StatFormulaName(int32_t code);

class StatInfo;
using StatInfoRef = Kestrix::Ref<StatInfo>;

/// StatSourceRef names the input of an aggregation or derivative: by a
/// non-empty label (a registered stat) or, when label is empty, by providerId
/// (a stat of the same registration call). Resolved: {-1, "", info}.
struct StatSourceRef {
  int64_t providerId = -1;
  std::string label;
  StatInfoRef info;
};

/// StatDef is one statistic's definition. Build it with one of the three
/// factories; the registry copies it with resolved sources (`WithSources`).
class StatDef : public Kestrix::ObjectImpl {
public:
  /// Source: transform given (Raw or Delta in practice); function and
  /// aggregatedAttribute -1, no sources.
  static Kestrix::Ref<StatDef> Source(int64_t providerId, std::string name,
                                      std::vector<StatAttribute> attributes, uint32_t statType,
                                      uint32_t unit, uint32_t auxCode, uint32_t transform,
                                      uint32_t cooking, StatValue scale, bool extraFlag = false);
  /// Aggregation: transform forced to 1; exactly one source, else
  /// InvalidArgumentException.
  static Kestrix::Ref<StatDef> Aggregation(int64_t providerId, std::string name,
                                           std::vector<StatAttribute> attributes,
                                           uint32_t statType, uint32_t unit, uint32_t auxCode,
                                           int32_t aggregatedAttribute, int32_t function,
                                           StatSourceRef source, uint32_t cooking,
                                           StatValue scale, bool extraFlag = false);
  /// Derivative: transform forced to 2, aggregatedAttribute -1; one or more
  /// sources, else InvalidArgumentException.
  static Kestrix::Ref<StatDef> Derivative(int64_t providerId, std::string name,
                                          std::vector<StatAttribute> attributes, uint32_t statType,
                                          uint32_t unit, uint32_t auxCode, int32_t function,
                                          std::vector<StatSourceRef> sources, uint32_t cooking,
                                          StatValue scale, bool extraFlag = false);

  /// WithSources returns a copy with sources replaced (the registry's resolved
  /// copy); every other field is copied.
  Kestrix::Ref<StatDef> WithSources(std::vector<StatSourceRef> sources) const;

  int64_t GetProviderId() const { return providerId_; }
  const std::string& GetName() const { return name_; }
  const std::vector<StatAttribute>& GetAttributes() const { return attributes_; }
  uint32_t GetStatType() const { return statType_; }
  uint32_t GetUnit() const { return unit_; }
  uint32_t GetAuxCode() const { return auxCode_; }
  uint32_t GetTransform() const { return transform_; }
  uint32_t GetCooking() const { return cooking_; }
  const StatValue& GetScale() const { return scale_; }
  bool GetExtraFlag() const { return extraFlag_; }
  bool IsAggregation() const { return transform_ == static_cast<uint32_t>(StatTransform::Aggregation); }
  bool IsDerivative() const { return transform_ == static_cast<uint32_t>(StatTransform::Formula); }
  bool IsSource() const { return !IsAggregation() && !IsDerivative(); }

  /// GetFunction, GetSources: InvalidStateException "not a derivative or an
  /// aggregation" on a source.
  int32_t GetFunction() const;
  const std::vector<StatSourceRef>& GetSources() const;
  /// GetAggregatedAttribute: InvalidStateException "not an aggregation" unless
  /// this is an aggregation.
  int32_t GetAggregatedAttribute() const;

private:
  StatDef() = default;

  int64_t providerId_ = 0;
  std::string name_;
  std::vector<StatAttribute> attributes_;
  uint32_t statType_ = 0;
  uint32_t unit_ = 0;
  uint32_t auxCode_ = 0;
  uint32_t transform_ = 0;
  int32_t function_ = -1;
  std::vector<StatSourceRef> sources_;
  int32_t aggregatedAttribute_ = -1;
  uint32_t cooking_ = 0;
  StatValue scale_{1};
  bool extraFlag_ = false;
};
using StatDefRef = Kestrix::Ref<StatDef>;
using StatDefConstRef = Kestrix::Ref<const StatDef>;

/// StatInfo is one registered stat: its registry id and definition.
class StatInfo : public Kestrix::ObjectImpl {
public:
  StatInfo(int64_t registryId, StatDefRef def) : registryId_(registryId), def_(std::move(def)) {}
  int64_t GetRegistryId() const { return registryId_; }
  const StatDefRef& GetDef() const { return def_; }

private:
  const int64_t registryId_;
  const StatDefRef def_;
};

// Text forms (exact; used in log lines and as keys).

/// AttributeToString: name, "|*" when wildcards are allowed, ":", the type
/// name, then typeName when type is 0. Example: "cpu|*:pCPU".
std::string AttributeToString(const StatAttribute& attribute);
/// StatDefToString: name "(" attribute forms joined by "," ")". Example:
/// "cpu.used.user(cpu|*:pCPU)".
std::string StatDefToString(const StatDef& def);
/// RegisteredStatToString: registryId "->" definition form. Example:
/// "17->cpu.used.user(cpu|*:pCPU)".
std::string RegisteredStatToString(int64_t registryId, const StatDef& def);
/// MakeStatKey: name, then ".host" without attributes, else "." and the type
/// name (plus typeName for type 0) per attribute. Example: "disk.reads.disk.disk".
std::string MakeStatKey(const std::string& name, const std::vector<StatAttribute>& attributes);
inline std::string MakeStatKey(const StatDef& def) { return MakeStatKey(def.GetName(), def.GetAttributes()); }

}  // namespace Stats
