#include "apps/tallywick-report/chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "apps/tallywick-report/timeText.h"
#include "kestrix/stringUtil.h"

namespace Tallywick {
namespace Report {
namespace {

// Geometry in pixels.
const int kMarginLeft = 84;
const int kMarginRight = 24;
const int kTitleBand = 40;
const int kTopPad = 12;
const int kLegendRow = 18;
const int kLegendPad = 8;
const int kAxisBand = 40;
const int kAxisTitleBand = 18;
const int kPanelGap = 14;
const int kYTicks = 5;
const int kTimeLabelWidth = 90;
const double kCharWidth = 7.0;  // average width of a 12 px sans-serif character

// Saturated colours that stay distinct from each other and from the greys of
// the frame and the grid.
const char* const kPalette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#bcbd22", "#17becf"};
const size_t kPaletteSize = sizeof kPalette / sizeof kPalette[0];

const char* const kBackground = "#ffffff";
const char* const kGrid = "#e6e6e6";
const char* const kFrame = "#555555";
const char* const kText = "#222222";

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  // "-0.0" reads oddly and is the same coordinate.
  if (std::string(buf) == "-0.0") return "0.0";
  return buf;
}

struct Panel {
  std::string unit;
  std::vector<size_t> lines;  // indexes into the chart's lines
};

std::vector<Panel> GroupByUnit(const std::vector<ChartLine>& lines) {
  std::vector<Panel> panels;
  for (size_t i = 0; i < lines.size(); ++i) {
    auto it = std::find_if(panels.begin(), panels.end(), [&](const Panel& p) { return p.unit == lines[i].unit; });
    if (it == panels.end()) {
      panels.push_back(Panel{lines[i].unit, {}});
      it = panels.end() - 1;
    }
    it->lines.push_back(i);
  }
  return panels;
}

// LegendRows lays the legend entries out left to right, wrapping at width;
// returns the row of every entry and the number of rows.
int LegendRows(const std::vector<ChartLine>& lines, const Panel& panel, int width, std::vector<double>& x,
               std::vector<int>& row) {
  double cursor = 0;
  int r = 0;
  for (size_t i : panel.lines) {
    const double w = 22 + kCharWidth * static_cast<double>(lines[i].name.size()) + 18;
    if (cursor > 0 && cursor + w > width) {
      cursor = 0;
      ++r;
    }
    x.push_back(cursor);
    row.push_back(r);
    cursor += w;
  }
  return r + 1;
}

size_t PointCount(const ChartLine& line) {
  size_t n = 0;
  for (const Segment& s : line.segments) n += s.size();
  return n;
}

class SvgWriter {
public:
  SvgWriter(const std::vector<ChartLine>& lines, const ChartOptions& options)
      : lines_(lines), o_(options), plotW_(PlotColumns(options.width)) {}

  std::string Render() {
    const std::vector<Panel> panels = GroupByUnit(lines_);
    std::string body;
    double y = o_.title.empty() ? kTopPad : kTitleBand;
    for (size_t p = 0; p < panels.size(); ++p) {
      y = RenderPanel(body, panels[p], p, y, p + 1 == panels.size());
      y += kPanelGap;
    }
    if (panels.empty()) {
      body += "<text x=\"" + Num(o_.width / 2.0) + "\" y=\"" + Num(y + 20) +
              "\" text-anchor=\"middle\">no series</text>\n";
      y += 40;
    }
    const int height = static_cast<int>(std::ceil(y));
    std::string out;
    out.reserve(body.size() + 512);
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(o_.width) + "\" height=\"" +
           std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(o_.width) + " " +
           std::to_string(height) + "\" font-family=\"sans-serif\" font-size=\"12\" fill=\"" + kText + "\">\n";
    out += "<rect class=\"background\" x=\"0\" y=\"0\" width=\"" + std::to_string(o_.width) + "\" height=\"" +
           std::to_string(height) + "\" fill=\"" + kBackground + "\"/>\n";
    if (!o_.title.empty()) {
      out += "<text class=\"title\" x=\"" + Num(o_.width / 2.0) +
             "\" y=\"26\" text-anchor=\"middle\" font-size=\"16\">" + XmlEscape(o_.title) + "</text>\n";
    }
    out += body;
    out += "</svg>\n";
    return out;
  }

private:
  double X(int64_t t) const {
    return kMarginLeft + static_cast<double>(t - o_.start) * plotW_ / static_cast<double>(o_.end - o_.start);
  }

  // RenderPanel writes one panel whose top is at y and returns its bottom.
  double RenderPanel(std::string& out, const Panel& panel, size_t index, double y, bool last) {
    std::vector<double> legendX;
    std::vector<int> legendRow;
    const int rows = LegendRows(lines_, panel, plotW_, legendX, legendRow);
    out += "<g class=\"panel\" data-unit=\"" + XmlEscape(panel.unit) + "\">\n";
    for (size_t k = 0; k < panel.lines.size(); ++k) {
      const size_t i = panel.lines[k];
      const double lx = kMarginLeft + legendX[k];
      const double ly = y + kLegendRow * legendRow[k] + 12;
      out += "<rect x=\"" + Num(lx) + "\" y=\"" + Num(ly - 8) + "\" width=\"16\" height=\"4\" fill=\"" +
             Color(i) + "\"/><text x=\"" + Num(lx + 22) + "\" y=\"" + Num(ly) + "\">" +
             XmlEscape(lines_[i].name) + "</text>\n";
    }
    const double top = y + rows * kLegendRow + kLegendPad;
    const double bottom = top + o_.plotHeight;
    const double left = kMarginLeft;
    const double right = kMarginLeft + plotW_;

    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    for (size_t i : panel.lines) {
      for (const Segment& s : lines_[i].segments) {
        for (const ChartPoint& p : s) {
          lo = std::min(lo, p.v);
          hi = std::max(hi, p.v);
        }
      }
    }
    const bool empty = lo > hi;
    const AxisTicks axis = empty ? NiceTicks(0, 1, kYTicks) : NiceTicks(lo, hi, kYTicks);
    auto Y = [&](double v) { return bottom - (v - axis.low) / (axis.high - axis.low) * o_.plotHeight; };

    out += "<rect class=\"plot-area\" data-panel=\"" + std::to_string(index) + "\" x=\"" + Num(left) +
           "\" y=\"" + Num(top) + "\" width=\"" + std::to_string(plotW_) + "\" height=\"" +
           std::to_string(o_.plotHeight) + "\" fill=\"" + kBackground + "\"/>\n";

    // Grid and value labels.
    std::string grid;
    for (double v : axis.values) {
      const double gy = Y(v);
      grid += "M" + Num(left) + " " + Num(gy) + "H" + Num(right);
      out += "<text x=\"" + Num(left - 6) + "\" y=\"" + Num(gy + 4) + "\" text-anchor=\"end\">" +
             XmlEscape(FormatTick(v, axis)) + "</text>\n";
    }
    const std::vector<TimeTick> ticks = TimeTicks(o_.start, o_.end, std::max(2, plotW_ / kTimeLabelWidth));
    for (const TimeTick& t : ticks) {
      const double gx = X(t.t);
      grid += "M" + Num(gx) + " " + Num(top) + "V" + Num(bottom);
      out += "<text x=\"" + Num(gx) + "\" y=\"" + Num(bottom + 16) + "\" text-anchor=\"middle\">" +
             XmlEscape(t.label) + "</text>\n";
      if (!t.date.empty()) {
        out += "<text x=\"" + Num(gx) + "\" y=\"" + Num(bottom + 30) + "\" text-anchor=\"middle\">" +
               XmlEscape(t.date) + "</text>\n";
      }
    }
    out += "<path class=\"grid\" d=\"" + grid + "\" stroke=\"" + kGrid + "\" stroke-width=\"1\" fill=\"none\"/>\n";
    const double unitX = 16;
    const double unitY = (top + bottom) / 2;
    out += "<text class=\"unit\" x=\"" + Num(unitX) + "\" y=\"" + Num(unitY) + "\" transform=\"rotate(-90 " +
           Num(unitX) + " " + Num(unitY) + ")\" text-anchor=\"middle\">" +
           XmlEscape(panel.unit.empty() ? std::string("(no unit)") : panel.unit) + "</text>\n";
    if (empty) {
      out += "<text x=\"" + Num((left + right) / 2) + "\" y=\"" + Num((top + bottom) / 2) +
             "\" text-anchor=\"middle\">no samples in this time range</text>\n";
    }

    // The lines, clipped to the plot area.
    const std::string clip = "plot-clip-" + std::to_string(index);
    out += "<clipPath id=\"" + clip + "\"><rect x=\"" + Num(left) + "\" y=\"" + Num(top - 1) + "\" width=\"" +
           std::to_string(plotW_) + "\" height=\"" + std::to_string(o_.plotHeight + 2) + "\"/></clipPath>\n";
    out += "<g clip-path=\"url(#" + clip + ")\">\n";
    for (size_t i : panel.lines) RenderLine(out, i, Y);
    out += "</g>\n";
    out += "<rect class=\"frame\" x=\"" + Num(left) + "\" y=\"" + Num(top) + "\" width=\"" +
           std::to_string(plotW_) + "\" height=\"" + std::to_string(o_.plotHeight) +
           "\" fill=\"none\" stroke=\"" + kFrame + "\" stroke-width=\"1\"/>\n";
    double end = bottom + kAxisBand;
    if (last) {
      out += "<text class=\"time-axis\" x=\"" + Num((left + right) / 2) + "\" y=\"" + Num(end + 6) +
             "\" text-anchor=\"middle\">time (UTC)</text>\n";
      end += kAxisTitleBand;
    }
    out += "</g>\n";
    return end;
  }

  template <class YMap>
  void RenderLine(std::string& out, size_t i, const YMap& Y) {
    const ChartLine& line = lines_[i];
    out += "<g class=\"series\" data-series=\"" + XmlEscape(line.name) + "\" data-segments=\"" +
           std::to_string(line.segments.size()) + "\" data-points=\"" + std::to_string(PointCount(line)) +
           "\">\n";
    std::string d;
    std::string dots;
    for (const Segment& s : line.segments) {
      if (s.size() == 1) {
        // A lone sample between two gaps: a dot, since a path of one point draws nothing.
        dots += "<circle cx=\"" + Num(X(s[0].t)) + "\" cy=\"" + Num(Y(s[0].v)) + "\" r=\"2\"/>";
        continue;
      }
      std::string previous;
      for (size_t k = 0; k < s.size(); ++k) {
        std::string xy = Num(X(s[k].t)) + " " + Num(Y(s[k].v));
        if (xy == previous) continue;
        d += (k == 0 ? "M" : "L") + xy;
        previous = std::move(xy);
      }
    }
    if (!d.empty()) {
      out += "<path d=\"" + d + "\" fill=\"none\" stroke=\"" + Color(i) +
             "\" stroke-width=\"1.5\" stroke-linejoin=\"round\" stroke-linecap=\"round\"/>\n";
    }
    if (!dots.empty()) out += "<g fill=\"" + Color(i) + "\">" + dots + "</g>\n";
    out += "</g>\n";
  }

  static std::string Color(size_t i) { return kPalette[i % kPaletteSize]; }

  const std::vector<ChartLine>& lines_;
  const ChartOptions& o_;
  const int plotW_;
};

}  // namespace

int PlotColumns(int width) { return std::max(width, kMinChartWidth) - kMarginLeft - kMarginRight; }

std::string RenderSvg(const std::vector<ChartLine>& lines, const ChartOptions& options) {
  return SvgWriter(lines, options).Render();
}

std::string RenderHtml(const std::vector<ChartLine>& lines, const ChartOptions& options,
                       const std::string& source) {
  const std::string title = options.title.empty() ? std::string("tallywick chart") : options.title;
  std::string out;
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  // An empty icon, so that the browser asks for no /favicon.ico.
  out += "<link rel=\"icon\" href=\"data:,\">\n";
  out += "<title>" + XmlEscape(title) + "</title>\n";
  out += "<style>\n"
         "body { font-family: sans-serif; margin: 16px; color: #222222; background: #ffffff; }\n"
         "h1 { font-size: 20px; margin: 0 0 4px 0; }\n"
         "p.range { margin: 0 0 12px 0; color: #555555; }\n"
         "table { border-collapse: collapse; margin-top: 12px; }\n"
         "th, td { padding: 3px 10px; border-bottom: 1px solid #dddddd; text-align: left; }\n"
         "td.num { text-align: right; }\n"
         "</style>\n</head>\n<body>\n";
  out += "<h1>" + XmlEscape(title) + "</h1>\n";
  out += "<p class=\"range\">" + XmlEscape(FormatUtc(options.start)) + " to " + XmlEscape(FormatUtc(options.end)) +
         " (UTC), database " + XmlEscape(source) + "</p>\n";
  ChartOptions inner = options;
  inner.title.clear();  // the page's heading carries it
  out += RenderSvg(lines, inner);
  out += "<table class=\"summary\">\n<tr><th>Series</th><th>Unit</th><th>Samples</th><th>Points drawn</th>"
         "<th>Gaps</th></tr>\n";
  for (const ChartLine& l : lines) {
    const size_t gaps = l.segments.empty() ? 0 : l.segments.size() - 1;
    out += "<tr><td>" + XmlEscape(l.name) + "</td><td>" + XmlEscape(l.unit) + "</td><td class=\"num\">" +
           std::to_string(l.samples) + "</td><td class=\"num\">" + std::to_string(PointCount(l)) +
           "</td><td class=\"num\">" + std::to_string(gaps) + "</td></tr>\n";
  }
  out += "</table>\n</body>\n</html>\n";
  return out;
}

AxisTicks NiceTicks(double min, double max, int target) {
  if (!(max > min)) {
    const double pad = min == 0 ? 1.0 : std::fabs(min) * 0.1;
    const bool nonNegative = min >= 0;
    min -= pad;
    max += pad;
    if (nonNegative && min < 0) min = 0;
  }
  const double raw = (max - min) / std::max(target, 1);
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / mag;
  const double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * mag;
  AxisTicks a;
  a.step = step;
  a.low = std::floor(min / step) * step;
  a.high = std::ceil(max / step) * step;
  const int n = static_cast<int>(std::lround((a.high - a.low) / step));
  for (int i = 0; i <= n; ++i) a.values.push_back(a.low + i * step);
  return a;
}

std::string FormatTick(double value, const AxisTicks& axis) {
  const double reach = std::max(std::fabs(axis.low), std::fabs(axis.high));
  double scale = 1;
  const char* suffix = "";
  if (reach >= 1e12) { scale = 1e12; suffix = "T"; }
  else if (reach >= 1e9) { scale = 1e9; suffix = "G"; }
  else if (reach >= 1e6) { scale = 1e6; suffix = "M"; }
  else if (reach >= 1e4) { scale = 1e3; suffix = "k"; }
  const double step = axis.step / scale;
  int decimals = 0;
  if (step > 0 && step < 1) decimals = std::min(9, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value / scale);
  std::string s = buf;
  if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  return s + suffix;
}

std::vector<TimeTick> TimeTicks(int64_t start, int64_t end, int maxTicks) {
  static const int64_t kSteps[] = {1,     2,     5,     10,    15,     30,     60,     120,    300,
                                   600,   900,   1800,  3600,  7200,   10800,  21600,  43200,  86400,
                                   172800, 604800, 1209600, 2592000};
  const int64_t span = end - start;
  maxTicks = std::max(maxTicks, 1);
  int64_t step = 0;
  for (int64_t s : kSteps) {
    if (span / s < maxTicks) {
      step = s;
      break;
    }
  }
  if (step == 0) step = (span / maxTicks / 86400 + 1) * 86400;
  // First multiple of step at or after start; division truncates toward zero,
  // which lands at or after start for negative times already.
  int64_t t = start / step * step;
  if (t < start) t += step;
  std::vector<TimeTick> ticks;
  std::string previousDate;
  for (; t <= end; t += step) {
    const std::string iso = FormatUtc(t);  // YYYY-MM-DDTHH:MM:SSZ
    const size_t tpos = iso.find('T');
    const std::string date = iso.substr(0, tpos);
    TimeTick tick;
    tick.t = t;
    if (step >= 86400) {
      tick.label = date;
    } else {
      tick.label = iso.substr(tpos + 1, step < 60 ? 8 : 5);
      if (date != previousDate) tick.date = date;
    }
    previousDate = date;
    ticks.push_back(std::move(tick));
    // The next tick would lie past end; adding the step could overflow near
    // the end of the time range and never leave the loop.
    if (end - t < step) break;
  }
  return ticks;
}

std::string XmlEscape(const std::string& raw) {
  // Names come from the system (interface names, paths) as bytes: those that
  // are not UTF-8 are shown as %XX, as the service writes them.
  const std::string text = Kestrix::StringUtil::EscapeInvalidUtf8(raw);
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    switch (ch) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '"': out += "&quot;"; continue;
      case '\'': out += "&#39;"; continue;
      default: break;
    }
    // XML allows no control characters but tab and line ends, not even escaped.
    const auto c = static_cast<unsigned char>(ch);
    out += (c < 0x20 && c != '\t' && c != '\n' && c != '\r') ? '?' : ch;
  }
  return out;
}

}  // namespace Report
}  // namespace Tallywick
