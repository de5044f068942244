#include "apps/tallywick-report/commandLine.h"

#include <algorithm>
#include <charconv>

#include "apps/tallywick-report/timeText.h"
#include "kestrix/config.h"
#include "kestrix/exception.h"

namespace Tallywick {
namespace Report {

const char* const kDefaultConfigPath = "/etc/norvex/tallywick/tallywick.xml";

namespace {

using Kestrix::InvalidArgumentException;
using Action = CommandLine::Action;

// Options with a value, and the commands each belongs to ("*": every command).
struct OptionSpec {
  const char* name;
  const char* commands;
};
const OptionSpec kOptions[] = {
    {"--db", "*"},        {"--config", "*"},      {"--format", "list show"}, {"--since", "show chart"},
    {"--until", "show chart"}, {"--out", "chart"}, {"--width", "chart"},     {"--height", "chart"},
    {"--title", "chart"}, {"--gap", "chart"},
};

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& o : kOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

bool BelongsTo(const OptionSpec& o, const std::string& command) {
  if (std::string(o.commands) == "*") return true;
  std::string list = std::string(" ") + o.commands + " ";
  return list.find(" " + command + " ") != std::string::npos;
}

int64_t ParseInteger(const std::string& option, const std::string& text, int64_t min, int64_t max) {
  int64_t v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || v < min || v > max) {
    throw InvalidArgumentException(option + ": '" + text + "' is not a whole number from " +
                                   std::to_string(min) + " to " + std::to_string(max));
  }
  return v;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, int64_t nowSeconds) {
  CommandLine cl;
  std::vector<std::string> positional;
  std::vector<std::pair<const OptionSpec*, std::string>> values;
  bool optionsEnded = false;
  bool configGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-' || a == "-") {
      positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a == "-h" || a == "--help" || a == "-V" || a == "--version") {
      CommandLine info;
      info.action = a == "-h" || a == "--help" ? Action::Help : Action::Version;
      return info;
    }
    const size_t eq = a.find('=');
    const std::string name = a.substr(0, eq);
    const OptionSpec* spec = FindOption(name);
    if (!spec) throw InvalidArgumentException("unknown option '" + name + "'");
    if (eq != std::string::npos) {
      values.emplace_back(spec, a.substr(eq + 1));
    } else if (i + 1 < args.size()) {
      values.emplace_back(spec, args[++i]);
    } else {
      throw InvalidArgumentException("option " + name + " needs a value");
    }
  }
  if (positional.empty()) throw InvalidArgumentException("no command given (list, show or chart)");
  const std::string command = positional[0];
  if (command == "list") cl.action = Action::List;
  else if (command == "show") cl.action = Action::Show;
  else if (command == "chart") cl.action = Action::Chart;
  else throw InvalidArgumentException("unknown command '" + command + "' (list, show or chart)");
  for (size_t i = 1; i < positional.size(); ++i) {
    if (std::find(cl.series.begin(), cl.series.end(), positional[i]) == cl.series.end()) {
      cl.series.push_back(positional[i]);
    }
  }

  for (const auto& [spec, value] : values) {
    const std::string name = spec->name;
    if (!BelongsTo(*spec, command)) throw InvalidArgumentException("option " + name + " does not apply to " + command);
    if (name == "--db") cl.db = value;
    else if (name == "--config") {
      cl.config = value;
      configGiven = true;
    }
    else if (name == "--format") cl.format = ParseFormat(value);
    else if (name == "--since") cl.range.since = ParseTimeArg(value, nowSeconds);
    else if (name == "--until") cl.range.until = ParseTimeArg(value, nowSeconds);
    else if (name == "--out") cl.out = value;
    else if (name == "--width") cl.width = static_cast<int>(ParseInteger(name, value, 320, 10000));
    else if (name == "--height") cl.height = static_cast<int>(ParseInteger(name, value, 50, 4000));
    else if (name == "--title") cl.title = value;
    else if (name == "--gap") cl.gap = ParseInteger(name, value, 1, INT64_MAX);
  }
  if (!cl.db.empty() && configGiven) {
    throw InvalidArgumentException("give either --db or --config, not both");
  }

  switch (cl.action) {
    case Action::List:
      if (!cl.series.empty()) throw InvalidArgumentException("list takes no series");
      break;
    case Action::Show:
      if (cl.series.size() != 1) throw InvalidArgumentException("show takes exactly one series");
      break;
    case Action::Chart:
      if (cl.series.empty()) throw InvalidArgumentException("chart needs at least one series");
      if (cl.out.empty()) throw InvalidArgumentException("chart needs --out FILE.svg or --out FILE.html");
      if (!EndsWith(cl.out, ".svg") && !EndsWith(cl.out, ".html")) {
        throw InvalidArgumentException("--out: '" + cl.out + "' must end in .svg or .html");
      }
      break;
    default:
      break;
  }
  if (cl.range.since && cl.range.until && *cl.range.since > *cl.range.until) {
    throw InvalidArgumentException("--since (" + FormatUtc(*cl.range.since) + ") lies after --until (" +
                                   FormatUtc(*cl.range.until) + ")");
  }
  return cl;
}

std::string UsageText() {
  return std::string(
             "Usage: tallywick-report [--db FILE | --config FILE] COMMAND [ARGS]\n"
             "\n"
             "Reads the tallywick database (read-only) and prints or draws its series.\n"
             "\n"
             "Commands:\n"
             "  list [--format table|csv|json]\n"
             "      every series with its table, unit, category, first and last time and row count\n"
             "  show SERIES [--since T] [--until T] [--format table|csv|json]\n"
             "      the samples of one series\n"
             "  chart SERIES... --out FILE.svg|FILE.html [--since T] [--until T]\n"
             "        [--width PX] [--height PX] [--title TEXT] [--gap SECONDS]\n"
             "      a time-series chart; series with the same unit share a panel\n"
             "\n"
             "Options:\n"
             "  --db FILE        the database file\n"
             "  --config FILE    the service configuration to take the database path from\n"
             "                   (tallywick/persistence/locator; default ") +
         kDefaultConfigPath +
         ")\n"
         "  --since T, --until T\n"
         "                   inclusive bounds: now, epoch seconds, an age such as -90m, -36h,\n"
         "                   -7d or -2w, or UTC YYYY-MM-DD[THH:MM[:SS]][Z]\n"
         "  --gap SECONDS    a longer distance between samples breaks the line\n"
         "                   (default: twice the series' typical interval plus one second)\n"
         "  -h, --help       this text\n"
         "  -V, --version    the version\n"
         "\n"
         "Exit status: 0 success, 1 failure (database, series, output file), 2 usage error.\n";
}

std::string LocatorFromConfig(const std::string& configPath) {
  Kestrix::Service::ConfigRef config;
  Kestrix::Service::CreateXmlFileConfig(configPath, -1, 0, config);
  config->Load();
  Kestrix::Service::ConfigNodeRef node;
  std::string locator;
  if (!config->GetNode("tallywick", node) || !node->GetString("persistence/locator", locator) ||
      locator.empty()) {
    throw Kestrix::Exception("configuration " + configPath +
                             ": no tallywick/persistence/locator entry; name the database with --db");
  }
  return locator;
}

}  // namespace Report
}  // namespace Tallywick
