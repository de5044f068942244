// Series metadata as the service stores it beside every series, and the texts
// the report shows for its message-catalogue keys.
//
// The service writes "category=<prefix>.cat.X;units=<prefix>.unit.Y;"
// ["instance=I;"] "name=<prefix>.name.N;description=<prefix>.descr.N;" with the
// prefix "com.norvex.fenmark.mon". No catalogue ships with the service, so the
// report resolves the keys it knows itself and shows the bare key otherwise.
#pragma once

#include <string>
#include <string_view>

namespace Tallywick {
namespace Report {

/// SeriesMetadata holds the parts of one metadata text; a part that is absent
/// stays empty. category and unit are the bare codes ("cpu", "percent"), the
/// other parts are stored as written.
struct SeriesMetadata {
  std::string category;
  std::string unit;
  std::string instance;
  std::string nameKey;
  std::string descriptionKey;
};

/// ParseMetadata splits a metadata text into its parts. Keys other than
/// category, units, instance, name and description are ignored. The text is
/// not escaped by the service, so an instance name holding ';' (a mount path
/// can) is kept whole: a piece that does not start with a known key belongs to
/// the value before it. Never fails; garbage yields empty parts.
SeriesMetadata ParseMetadata(std::string_view text);

/// UnitLabel returns the display form of a unit code ("percent" gives "%",
/// "kb_per_sec" gives "KiB/ms"); an unknown or empty code is returned unchanged.
std::string UnitLabel(const std::string& unit);

/// CategoryLabel returns the display form of a category code ("cpu" gives
/// "CPU"); an unknown or empty code is returned unchanged.
std::string CategoryLabel(const std::string& category);

}  // namespace Report
}  // namespace Tallywick
