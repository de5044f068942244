#include "apps/tallywick/persistedStatMetadata.h"

#include "kestrix/format.h"

namespace Tallywick {

const char* const MetricPrefix = "com.norvex.fenmark.mon";

std::string CategoryMetadata(const std::string& category, const std::string& unit) {
  return Kestrix::MessageFormatter::ASPrint("category=%1.cat.%2;units=%3.unit.%4;", MetricPrefix, category,
                                            MetricPrefix, unit);
}

std::string InstanceMetadata(const std::string& value) {
  return Kestrix::MessageFormatter::ASPrint("instance=%1;", value);
}

std::string NameMetadata(const std::string& name) {
  return Kestrix::MessageFormatter::ASPrint("name=%1.name.%2;description=%3.descr.%4;", MetricPrefix, name,
                                            MetricPrefix, name);
}

}  // namespace Tallywick
