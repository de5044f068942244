// Downsampling of one series for a chart: samples are split into segments at
// gaps and reduced to at most two points (the minimum and the maximum) per
// pixel column, so a chart of millions of samples draws a few thousand points
// and still shows every spike.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "apps/tallywick-report/reportDatabase.h"

namespace Tallywick {
namespace Report {

/// ChartPoint is one point to draw: time in seconds and value.
struct ChartPoint {
  int64_t t = 0;
  double v = 0.0;
};

/// Segment is a run of points drawn as one connected line.
using Segment = std::vector<ChartPoint>;

/// GapThreshold returns the longest distance in seconds between two samples
/// that are still joined by a line: twice the typical interval plus one
/// second, because stored times are whole seconds and a pass may start a
/// second late. Without a typical interval (fewer than two samples) it
/// returns 0, meaning "no limit".
int64_t GapThreshold(const std::optional<int64_t>& typicalInterval);

/// ColumnDownsampler reduces samples of [start, end] to `columns` pixel
/// columns. Feed it samples in ascending time with `Add`, then call `Finish`.
/// A null or non-finite value, or a distance to the previous sample above maxGap (when
/// maxGap > 0), ends the current segment: a gap is never bridged. Within a
/// segment each column keeps its minimum and its maximum sample, emitted in
/// the order they occurred (one point when they are the same sample), at
/// their own times. Memory: one column of state plus the points emitted.
class ColumnDownsampler {
public:
  /// start <= end and columns >= 1 (asserted).
  ColumnDownsampler(int64_t start, int64_t end, int columns, int64_t maxGap);

  void Add(const Sample& sample);
  /// Finish returns the segments, in time order; no segment is empty.
  std::vector<Segment> Finish();

  /// Column returns the pixel column of time t, clamped to [0, columns - 1].
  int Column(int64_t t) const;

private:
  void FlushColumn();
  void EndSegment();

  int64_t start_;
  int64_t end_;
  int columns_;
  int64_t maxGap_;
  std::optional<int64_t> previous_;  // time of the last non-null sample of the open segment
  int column_ = -1;                  // column being collected, -1 for none
  ChartPoint min_;
  ChartPoint max_;
  Segment segment_;
  std::vector<Segment> segments_;
};

}  // namespace Report
}  // namespace Tallywick
