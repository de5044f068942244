// The commands of tallywick-report over an open database: list, show, chart.
#pragma once

#include <ostream>
#include <string>

#include "apps/tallywick-report/chart.h"
#include "apps/tallywick-report/commandLine.h"
#include "apps/tallywick-report/reportDatabase.h"

namespace Tallywick {
namespace Report {

/// RunList writes every series of db to out.
void RunList(Database& db, Format format, std::ostream& out);

/// RunShow writes the samples of one series within range to out. Throws
/// `ReportException` when the series does not exist or has no table.
void RunShow(Database& db, const std::string& series, const TimeRange& range, Format format,
             std::ostream& out);

/// ChartDocument is a rendered chart and what went into it.
struct ChartDocument {
  std::string text;              ///< the SVG or HTML document
  std::vector<ChartLine> lines;  ///< per series: points drawn and samples read
  ChartOptions options;          ///< including the time range drawn
};

/// BuildChart reads and downsamples the series of cl and renders the document
/// that cl.out's extension asks for. The time range is cl.range, with open
/// ends taken from the oldest and newest sample of the series; a range of a
/// single second is widened by 30 s on each side. Throws `ReportException`
/// when a series does not exist or has no table, or when there is no sample
/// at all and the range is open.
ChartDocument BuildChart(Database& db, const CommandLine& cl);

/// WriteFileAtomically replaces path with text: written to a temporary file
/// in the same directory, flushed, then renamed over path, so a reader never
/// sees half a chart. Throws `ReportException` naming the path and the
/// system's error.
void WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace Report
}  // namespace Tallywick
