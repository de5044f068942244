#include "apps/tallywick-report/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "apps/tallywick-report/timeText.h"

namespace Tallywick {
namespace Report {
namespace {

SeriesInfo RequireSeries(Database& db, const std::string& name) {
  std::optional<SeriesInfo> info = db.FindSeries(name);
  if (!info) {
    throw ReportException("unknown series '" + name + "' in " + db.Path() +
                          " (tallywick-report list shows the series)");
  }
  if (!info->hasTable) {
    throw ReportException("series '" + name + "' has no table '" + info->table + "' in " + db.Path());
  }
  return *info;
}

std::string DefaultTitle(const std::vector<std::string>& names) {
  if (names.size() > 3) return std::to_string(names.size()) + " series";
  std::string t;
  for (const std::string& n : names) t += (t.empty() ? "" : ", ") + n;
  return t;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

[[noreturn]] void FailFile(const std::string& what, const std::string& path, int err) {
  throw ReportException("cannot " + what + " " + path + ": " + std::strerror(err));
}

}  // namespace

void RunList(Database& db, Format format, std::ostream& out) { WriteSeriesList(db.ListSeries(), format, out); }

void RunShow(Database& db, const std::string& series, const TimeRange& range, Format format,
             std::ostream& out) {
  const SeriesInfo info = RequireSeries(db, series);
  SampleWriter writer(info, format, out);
  db.ForEachSample(info.table, range, [&](const Sample& s) { writer.Add(s); });
  writer.Finish();
}

ChartDocument BuildChart(Database& db, const CommandLine& cl) {
  std::vector<SeriesInfo> series;
  for (const std::string& name : cl.series) series.push_back(RequireSeries(db, name));

  std::optional<int64_t> first, last;
  for (const SeriesInfo& s : series) {
    if (s.first) first = first ? std::min(*first, *s.first) : *s.first;
    if (s.last) last = last ? std::max(*last, *s.last) : *s.last;
  }
  ChartDocument doc;
  ChartOptions& o = doc.options;
  if (!(cl.range.since || first) || !(cl.range.until || last)) {
    throw ReportException("no samples to chart: the series are empty; give --since and --until to draw the range anyway");
  }
  // The axis labels have four-digit years, and the arithmetic of pixel
  // columns needs end - start to fit in 64 bits: bounds beyond the years
  // 0000 to 9999 are drawn as those years.
  const int64_t earliest = DaysFromCivil(0, 1, 1) * 86400;
  const int64_t latest = DaysFromCivil(10000, 1, 1) * 86400 - 1;
  o.start = std::clamp(cl.range.since ? *cl.range.since : *first, earliest, latest);
  o.end = std::clamp(cl.range.until ? *cl.range.until : *last, earliest, latest);
  if (o.start > o.end) {
    // An open end taken from the data can fall before the other, given bound.
    throw ReportException("no samples to chart between " + std::to_string(o.start) + " and " +
                          std::to_string(o.end));
  }
  if (o.start == o.end) {
    o.start -= 30;
    o.end += 30;
  }
  o.width = cl.width;
  o.plotHeight = cl.height;
  o.title = cl.title.empty() ? DefaultTitle(cl.series) : cl.title;

  const TimeRange range{o.start, o.end};
  const int columns = PlotColumns(o.width);
  for (const SeriesInfo& s : series) {
    const int64_t gap = cl.gap ? *cl.gap : GapThreshold(db.TypicalInterval(s.table, range));
    ColumnDownsampler down(o.start, o.end, columns, gap);
    ChartLine line;
    line.name = s.name;
    line.unit = UnitLabel(s.metadata.unit);
    db.ForEachSample(s.table, range, [&](const Sample& sample) {
      ++line.samples;
      down.Add(sample);
    });
    line.segments = down.Finish();
    doc.lines.push_back(std::move(line));
  }
  doc.text = EndsWith(cl.out, ".html") ? RenderHtml(doc.lines, o, db.Path()) : RenderSvg(doc.lines, o);
  return doc;
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string tmp = path + ".XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) FailFile("create a temporary file beside", path, errno);
  // mkstemp makes the file 0600; a chart is for sharing.
  fchmod(fd, 0644);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      unlink(tmp.c_str());
      FailFile("write", tmp, err);
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    FailFile("write", tmp, err);
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    FailFile("replace", path, err);
  }
}

}  // namespace Report
}  // namespace Tallywick
