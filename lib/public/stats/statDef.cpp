#include "public/stats/statDef.h"

#include "kestrix/exception.h"
#include "public/stats/statInstance.h"

namespace Stats {
namespace {

const char* const kTypeNames[25] = {
    "D",         "host",         "VM",      "vCPU",   "vNIC",       "vDisk", "vmLUN",
    "pCPU",      "pNIC",         "storageAdapter", "storagePath", "hostLUN", "datastore",
    "LUN",       "resPool",      "proxyPortSet",   "port",  "VXLAN",  "LAG",   "group",
    "process",   "thread",       "disk",    "memMngr", "memPool"};

void AppendTypeName(std::string& out, const StatAttribute& a) {
  out += StatAttributeTypeName(a.type);
  if (a.type == 0) out += a.typeName;
}

}  // namespace

const char* StatAttributeTypeName(StatAttributeType type) {
  return type >= 0 && type < 25 ? kTypeNames[type] : "unknown";
}

const char* StatTransformName(uint32_t code) {
  static const char* const names[] = {"Raw", "Aggregation", "Formula", "Delta"};
  return code < 4 ? names[code] : "unknown";
}
const char* StatCookingName(uint32_t code) {
  static const char* const names[] = {"None", "Difference", "Rate", "PerTime"};
  return code < 4 ? names[code] : "unknown";
}
const char* StatAggregationName(int32_t code) {
  static const char* const names[] = {"Sum", "Maximum", "Minimum", "Average"};
  return code >= 0 && code < 4 ? names[code] : "unknown";
}
const char* StatFormulaName(int32_t code) {
  static const char* const names[] = {"First", "Sum", "Subtract", "Multiply", "Divide", "SelfDelta"};
  return code >= 0 && code < 6 ? names[code] : "unknown";
}

Kestrix::Ref<StatDef> StatDef::Source(int64_t providerId, std::string name,
                                      std::vector<StatAttribute> attributes, uint32_t statType,
                                      uint32_t unit, uint32_t auxCode, uint32_t transform,
                                      uint32_t cooking, StatValue scale, bool extraFlag) {
  Kestrix::Ref<StatDef> d(new StatDef);
  d->providerId_ = providerId;
  d->name_ = std::move(name);
  d->attributes_ = std::move(attributes);
  d->statType_ = statType;
  d->unit_ = unit;
  d->auxCode_ = auxCode;
  d->transform_ = transform;
  d->function_ = -1;
  d->aggregatedAttribute_ = -1;
  d->cooking_ = cooking;
  d->scale_ = scale;
  d->extraFlag_ = extraFlag;
  return d;
}

Kestrix::Ref<StatDef> StatDef::Aggregation(int64_t providerId, std::string name,
                                           std::vector<StatAttribute> attributes, uint32_t statType,
                                           uint32_t unit, uint32_t auxCode, int32_t aggregatedAttribute,
                                           int32_t function, StatSourceRef source, uint32_t cooking,
                                           StatValue scale, bool extraFlag) {
  Kestrix::Ref<StatDef> d = Source(providerId, std::move(name), std::move(attributes), statType, unit,
                                   auxCode, static_cast<uint32_t>(StatTransform::Aggregation), cooking,
                                   scale, extraFlag);
  d->function_ = function;
  d->aggregatedAttribute_ = aggregatedAttribute;
  d->sources_.push_back(std::move(source));
  return d;
}

Kestrix::Ref<StatDef> StatDef::Derivative(int64_t providerId, std::string name,
                                          std::vector<StatAttribute> attributes, uint32_t statType,
                                          uint32_t unit, uint32_t auxCode, int32_t function,
                                          std::vector<StatSourceRef> sources, uint32_t cooking,
                                          StatValue scale, bool extraFlag) {
  if (sources.empty()) {
    throw Kestrix::InvalidArgumentException("derivative stat " + name + " needs at least one source");
  }
  Kestrix::Ref<StatDef> d = Source(providerId, std::move(name), std::move(attributes), statType, unit,
                                   auxCode, static_cast<uint32_t>(StatTransform::Formula), cooking,
                                   scale, extraFlag);
  d->function_ = function;
  d->sources_ = std::move(sources);
  return d;
}

Kestrix::Ref<StatDef> StatDef::WithSources(std::vector<StatSourceRef> sources) const {
  Kestrix::Ref<StatDef> d(new StatDef(*this));
  d->sources_ = std::move(sources);
  return d;
}

int32_t StatDef::GetFunction() const {
  if (IsSource()) throw Kestrix::InvalidStateException("not a derivative or an aggregation");
  return function_;
}

const std::vector<StatSourceRef>& StatDef::GetSources() const {
  if (IsSource()) throw Kestrix::InvalidStateException("not a derivative or an aggregation");
  return sources_;
}

int32_t StatDef::GetAggregatedAttribute() const {
  if (!IsAggregation()) throw Kestrix::InvalidStateException("not an aggregation");
  return aggregatedAttribute_;
}

std::string AttributeToString(const StatAttribute& a) {
  std::string out = a.name;
  if (a.wildcardAllowed) out += "|*";
  out += ':';
  AppendTypeName(out, a);
  return out;
}

std::string StatDefToString(const StatDef& def) {
  std::string out = def.GetName();
  out += '(';
  bool first = true;
  for (const auto& a : def.GetAttributes()) {
    if (!first) out += ',';
    first = false;
    out += AttributeToString(a);
  }
  out += ')';
  return out;
}

std::string RegisteredStatToString(int64_t registryId, const StatDef& def) {
  return std::to_string(registryId) + "->" + StatDefToString(def);
}

std::string MakeStatKey(const std::string& name, const std::vector<StatAttribute>& attributes) {
  std::string out = name;
  if (attributes.empty()) {
    out += ".host";
    return out;
  }
  for (const auto& a : attributes) {
    out += '.';
    AppendTypeName(out, a);
  }
  return out;
}

const char* const Wildcard = "*";

StatInstanceConstRef MakeStatInstance(int64_t statId, AttributeValues attributeValues) {
  return StatInstanceConstRef(new PlainStatInstance(statId, std::move(attributeValues)));
}

std::string InstanceToString(int64_t statId, const AttributeValues& values) {
  std::string out = std::to_string(statId);
  out += '(';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    out += '\'';
    out += values[i];
    out += '\'';
  }
  out += ')';
  return out;
}

}  // namespace Stats
