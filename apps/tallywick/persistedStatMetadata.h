// The metadata text stored with every series: message-catalogue keys under
// `MetricPrefix` that a reader of the database resolves into a category, a
// unit, a display name and a description. A series' text is the category part,
// for a per-instance series then the instance part, and last the name part.
#pragma once

#include <string>

namespace Tallywick {

/// MetricPrefix: "com.norvex.fenmark.mon".
extern const char* const MetricPrefix;

/// CategoryMetadata: "category=<prefix>.cat.<category>;units=<prefix>.unit.<unit>;".
std::string CategoryMetadata(const std::string& category, const std::string& unit);
/// InstanceMetadata: "instance=<value>;" with the instance's raw first attribute
/// value (a mount path, an interface name).
std::string InstanceMetadata(const std::string& value);
/// NameMetadata: "name=<prefix>.name.<name>;description=<prefix>.descr.<name>;".
std::string NameMetadata(const std::string& name);

}  // namespace Tallywick
