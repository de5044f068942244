#include "apps/tallywick-report/metadata.h"

#include <utility>

namespace Tallywick {
namespace Report {
namespace {

const std::string_view kMetricPrefix = "com.norvex.fenmark.mon";

// StripKeyPrefix turns "com.norvex.fenmark.mon.cat.cpu" into "cpu" for the
// part "cat"; a value written without the prefix is kept as it is.
std::string StripKeyPrefix(std::string_view value, std::string_view part) {
  std::string lead(kMetricPrefix);
  lead += '.';
  lead += part;
  lead += '.';
  if (value.size() > lead.size() && value.substr(0, lead.size()) == lead) {
    return std::string(value.substr(lead.size()));
  }
  return std::string(value);
}

// Field returns the member that a key fills, or nullptr for an unknown key.
std::string* Field(SeriesMetadata& m, std::string_view key) {
  if (key == "category") return &m.category;
  if (key == "units") return &m.unit;
  if (key == "instance") return &m.instance;
  if (key == "name") return &m.nameKey;
  if (key == "description") return &m.descriptionKey;
  return nullptr;
}

using Label = std::pair<std::string_view, std::string_view>;

// Lookup returns the display text of code, or code itself when it is unknown.
template <size_t N>
std::string Lookup(const Label (&labels)[N], const std::string& code) {
  for (const Label& l : labels) {
    if (l.first == code) return std::string(l.second);
  }
  return code;
}

}  // namespace

SeriesMetadata ParseMetadata(std::string_view text) {
  SeriesMetadata m;
  std::string* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(';', start);
    const bool terminated = end != std::string_view::npos;
    if (!terminated) end = text.size();
    const std::string_view piece = text.substr(start, end - start);
    const size_t eq = piece.find('=');
    std::string* field = eq == std::string_view::npos ? nullptr : Field(m, piece.substr(0, eq));
    if (field) {
      current = field;
      *current = std::string(piece.substr(eq + 1));
    } else if (current) {
      // A ';' inside the previous value: put it back.
      *current += ';';
      *current += piece;
    }
    start = end + 1;
  }
  m.category = StripKeyPrefix(m.category, "cat");
  m.unit = StripKeyPrefix(m.unit, "unit");
  return m;
}

std::string UnitLabel(const std::string& unit) {
  static const Label kUnits[] = {
      {"percent", "%"},
      {"cores", "cores"},
      {"mhz", "MHz"},
      {"kb", "KiB"},
      // The network activity series hold KiB per millisecond, whatever
      // their unit code says; the label tells what the numbers are.
      {"kb_per_sec", "KiB/ms"},
      {"packets_per_microsec", "packets/\u00b5s"},
  };
  return Lookup(kUnits, unit);
}

std::string CategoryLabel(const std::string& category) {
  static const Label kCategories[] = {
      {"cpu", "CPU"}, {"memory", "Memory"}, {"network", "Network"}, {"storage", "Storage"}};
  return Lookup(kCategories, category);
}

}  // namespace Report
}  // namespace Tallywick
