// tallywick-report: list, show and chart the series that tallywick stores.
#include <iostream>
#include <string>
#include <vector>

#include "apps/tallywick-report/commandLine.h"
#include "apps/tallywick-report/report.h"
#include "kestrix/exception.h"
#include "kestrix/time.h"

namespace {

const int kExitFailure = 1;
const int kExitUsage = 2;

int Run(const Tallywick::Report::CommandLine& cl) {
  using namespace Tallywick::Report;
  const std::string path = cl.db.empty() ? LocatorFromConfig(cl.config) : cl.db;
  Database db(path);
  switch (cl.action) {
    case CommandLine::Action::List:
      RunList(db, cl.format, std::cout);
      break;
    case CommandLine::Action::Show:
      RunShow(db, cl.series[0], cl.range, cl.format, std::cout);
      break;
    case CommandLine::Action::Chart: {
      const ChartDocument doc = BuildChart(db, cl);
      WriteFileAtomically(cl.out, doc.text);
      for (const ChartLine& l : doc.lines) {
        if (l.samples == 0) std::cerr << "tallywick-report: warning: " << l.name << " has no samples in the range\n";
      }
      break;
    }
    default:
      break;
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "tallywick-report: error: cannot write to standard output\n";
    return kExitFailure;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace Tallywick::Report;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int64_t now = static_cast<int64_t>(Kestrix::System::GetUtcDateTime().GetUtcTime() / 1000000);
  CommandLine cl;
  try {
    cl = ParseCommandLine(args, now);
  } catch (const Kestrix::Exception& e) {
    std::cerr << "tallywick-report: " << e.what() << "\nTry 'tallywick-report --help'.\n";
    return kExitUsage;
  }
  if (cl.action == CommandLine::Action::Help) {
    std::cout << UsageText();
    return 0;
  }
  if (cl.action == CommandLine::Action::Version) {
    std::cout << "tallywick-report 1.0\n";
    return 0;
  }
  try {
    return Run(cl);
  } catch (const Kestrix::Exception& e) {
    std::cerr << "tallywick-report: error: " << e.what() << '\n';
    return kExitFailure;
  }
}
