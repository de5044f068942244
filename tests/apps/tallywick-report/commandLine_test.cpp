#include "apps/tallywick-report/commandLine.h"

#include <gtest/gtest.h>

#include "kestrix/exception.h"

namespace {

using namespace Tallywick::Report;
using Action = CommandLine::Action;

const int64_t kNow = 1733547600;

// The end-to-end tests run --db, --config, --format, --out, --width, --title
// and absolute --since/--until; here the remaining forms.
TEST(ParseCommandLineTest, AcceptsTheDocumentedForms) {
  CommandLine c = ParseCommandLine({"list"}, kNow);
  EXPECT_EQ(c.action, Action::List);
  EXPECT_EQ(c.config, "/etc/norvex/tallywick/tallywick.xml");
  EXPECT_TRUE(c.db.empty());

  c = ParseCommandLine({"chart", "a", "b", "a", "--out", "x.html", "--height", "300", "--gap", "600",
                        "--since=-1h", "--until", "now", "--", "-odd"},
                       kNow);
  EXPECT_EQ(c.action, Action::Chart);
  EXPECT_EQ(c.series, (std::vector<std::string>{"a", "b", "-odd"}));
  EXPECT_EQ(c.height, 300);
  EXPECT_EQ(c.gap, 600);
  EXPECT_EQ(c.range.since, kNow - 3600);
  EXPECT_EQ(c.range.until, kNow);

  EXPECT_EQ(ParseCommandLine({"show", "x", "--help"}, kNow).action, Action::Help);
  EXPECT_EQ(ParseCommandLine({"-V"}, kNow).action, Action::Version);
}

TEST(ParseCommandLineTest, RejectsWithAMessageNamingTheProblem) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{}, "no command given"},
      {{"graph"}, "unknown command 'graph'"},
      {{"list", "--bogus", "1"}, "unknown option '--bogus'"},
      {{"list", "--db"}, "option --db needs a value"},
      {{"list", "cpu.util"}, "list takes no series"},
      {{"show"}, "show takes exactly one series"},
      {{"show", "a", "b"}, "show takes exactly one series"},
      {{"show", "a", "--out", "x.svg"}, "option --out does not apply to show"},
      {{"chart", "a", "--format", "csv", "--out", "x.svg"}, "option --format does not apply to chart"},
      {{"chart", "a"}, "chart needs --out"},
      {{"chart", "a", "--out", "x.png"}, "must end in .svg or .html"},
      {{"chart", "--out", "x.svg"}, "chart needs at least one series"},
      {{"chart", "a", "--out", "x.svg", "--width", "100"}, "--width: '100' is not a whole number from 320"},
      {{"chart", "a", "--out", "x.svg", "--height", "3e2"}, "--height: '3e2'"},
      {{"chart", "a", "--out", "x.svg", "--gap", "0"}, "--gap: '0'"},
      {{"show", "a", "--since", "yesterday"}, "invalid time 'yesterday'"},
      {{"show", "a", "--format", "xml"}, "invalid format 'xml'"},
      {{"show", "a", "--since", "now", "--until", "-1d"}, "lies after --until"},
      {{"list", "--db", "a.db", "--config", "c.xml"}, "either --db or --config"},
      {{"show", "-x"}, "unknown option '-x'"},
  };
  for (const auto& c : cases) {
    try {
      ParseCommandLine(c.first, kNow);
      ADD_FAILURE() << "accepted: " << c.second;
    } catch (const Kestrix::InvalidArgumentException& e) {
      EXPECT_NE(std::string(e.what()).find(c.second), std::string::npos) << e.what();
    }
  }
}

}  // namespace
