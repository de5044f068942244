#include "stats/registry/resultImpl.h"

#include "kestrix/assert.h"

namespace Stats {
namespace Registry {

void ResultImpl::AddValue(int64_t statId, const AttributeValues& attributeValues, int64_t value) {
  // Build outside the lock: only the append needs it.
  StatInstanceValueRef v(new StatInstanceValue(statId, attributeValues, value, true));
  std::lock_guard<std::mutex> lock(mutex_);
  values_.push_back(std::move(v));
}

void ResultImpl::AddValue(const StatInstance& instance, int64_t value) {
  AddValue(instance.GetStatId(), instance.GetAttributeValues(), value);
}

void ResultImpl::AddValue(int64_t statId, const StatDefRef& /*def*/, const AttributeValues& attributeValues,
                          int64_t value) {
  AddValue(statId, attributeValues, value);
}

void ResultImpl::AddValue(const StatInfo& info, const AttributeValues& attributeValues, int64_t value) {
  AddValue(info.GetRegistryId(), info.GetDef(), attributeValues, value);
}

void ResultImpl::FinishPass() { KESTRIX_NOT_IMPLEMENTED(); }

uint64_t ResultImpl::GetValueCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.size();
}

}  // namespace Registry
}  // namespace Stats
