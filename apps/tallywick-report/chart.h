// Time-series charts as SVG, alone or inside a self-contained HTML page (no
// script, no style sheet or font from elsewhere, nothing fetched).
//
// Series that share a unit share one panel; panels are stacked over a common
// time axis. Each panel has its own value axis labelled with the unit, a
// legend, and one line per series that breaks wherever the series has a gap.
// The points come from `ColumnDownsampler`, sized with `PlotColumns`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apps/tallywick-report/downsample.h"

namespace Tallywick {
namespace Report {

/// ChartLine is one series to draw.
struct ChartLine {
  std::string name;               ///< shown in the legend
  std::string unit;               ///< display unit; lines with equal units share a panel
  std::vector<Segment> segments;  ///< downsampled points, split at gaps
  int64_t samples = 0;            ///< samples read, for the page's summary
};

/// ChartOptions: the time range drawn (start < end), the title and the size.
struct ChartOptions {
  std::string title;
  int64_t start = 0;
  int64_t end = 0;
  int width = 960;       ///< whole chart, pixels (at least kMinChartWidth)
  int plotHeight = 260;  ///< plot area of one panel, pixels
};

const int kMinChartWidth = 320;

/// PlotColumns returns the width in pixels of the plot area of a chart that is
/// width pixels wide: the number of columns to downsample to.
int PlotColumns(int width);

/// RenderSvg returns the chart as a standalone SVG document.
std::string RenderSvg(const std::vector<ChartLine>& lines, const ChartOptions& options);

/// RenderHtml returns a page with the chart inline and a summary table of the
/// series (samples read, points drawn, gaps). source names the database.
std::string RenderHtml(const std::vector<ChartLine>& lines, const ChartOptions& options,
                       const std::string& source);

/// AxisTicks is a value axis: its ends and the tick values between them.
struct AxisTicks {
  double low = 0.0;
  double high = 1.0;
  double step = 1.0;
  std::vector<double> values;
};

/// NiceTicks covers [min, max] with about target ticks whose step is 1, 2 or
/// 5 times a power of ten; the ends are ticks. A flat range is widened (to
/// [0, 1] for all zeros), without going below zero for non-negative data.
AxisTicks NiceTicks(double min, double max, int target);

/// FormatTick writes a tick value of axis with just enough decimals for the
/// axis's step, scaled to k, M, G or T when the axis reaches 10,000, 1e6,
/// 1e9 or 1e12 ("2.5M", "-40", "0.25").
std::string FormatTick(double value, const AxisTicks& axis);

/// TimeTick is one tick of the time axis: its time, its label, and the date to
/// print under the label (only where the date changes, for sub-day steps).
struct TimeTick {
  int64_t t = 0;
  std::string label;
  std::string date;
};

/// TimeTicks returns at most maxTicks ticks in [start, end] at a round UTC
/// step (seconds to days); labels are HH:MM:SS, HH:MM or YYYY-MM-DD by step.
std::vector<TimeTick> TimeTicks(int64_t start, int64_t end, int maxTicks);

/// XmlEscape replaces & < > " ' with their character references, control
/// characters other than tab and line ends with '?', and bytes that are not
/// well-formed UTF-8 with %XX, so that any name makes well-formed XML.
std::string XmlEscape(const std::string& text);

}  // namespace Report
}  // namespace Tallywick
