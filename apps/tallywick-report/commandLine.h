// The command line of tallywick-report.
//
//   tallywick-report [--db FILE | --config FILE] list [--format F]
//   tallywick-report [...] show SERIES [--since T] [--until T] [--format F]
//   tallywick-report [...] chart SERIES... --out FILE.svg|FILE.html [--since T]
//                    [--until T] [--width PX] [--height PX] [--title TEXT] [--gap SEC]
//   tallywick-report --help | --version
//
// Options may stand anywhere after the program name, as "--name value" or
// "--name=value"; "--" ends the options (for a series name starting with '-').
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apps/tallywick-report/formats.h"
#include "apps/tallywick-report/reportDatabase.h"

namespace Tallywick {
namespace Report {

/// kDefaultConfigPath is where the service's configuration is installed; the
/// database path is read from its tallywick/persistence/locator.
extern const char* const kDefaultConfigPath;

/// CommandLine is a parsed, checked command line.
struct CommandLine {
  enum class Action { Help, Version, List, Show, Chart };
  Action action = Action::Help;
  std::string db;                          ///< --db; empty: take it from the configuration
  std::string config = kDefaultConfigPath; ///< --config
  std::vector<std::string> series;         ///< show: one; chart: one or more, duplicates dropped
  TimeRange range;                         ///< --since, --until (inclusive)
  Format format = Format::Table;           ///< --format (list, show)
  std::string out;                         ///< --out (chart): ends in .svg or .html
  int width = 960;                         ///< --width (chart), 320..10000
  int height = 260;                        ///< --height (chart): plot height of one panel, 50..4000
  std::string title;                       ///< --title (chart)
  std::optional<int64_t> gap;              ///< --gap (chart): seconds that make a gap, >= 1
};

/// ParseCommandLine checks args (without the program name); nowSeconds
/// anchors "now" and ages in --since and --until. Throws
/// `Kestrix::InvalidArgumentException` with a message for the user when an
/// option is unknown, lacks its value, does not belong to the command, or has
/// a bad value, when the command or its series are missing, and when --since
/// lies after --until.
CommandLine ParseCommandLine(const std::vector<std::string>& args, int64_t nowSeconds);

/// UsageText is the --help text.
std::string UsageText();

/// LocatorFromConfig reads tallywick/persistence/locator from the service's
/// configuration file; throws `Kestrix::Exception` naming the file when it
/// cannot be read or has no such entry.
std::string LocatorFromConfig(const std::string& configPath);

}  // namespace Report
}  // namespace Tallywick
