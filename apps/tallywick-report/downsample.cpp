#include "apps/tallywick-report/downsample.h"

#include <cmath>
#include <utility>

#include "kestrix/assert.h"

namespace Tallywick {
namespace Report {

int64_t GapThreshold(const std::optional<int64_t>& typicalInterval) {
  if (!typicalInterval || *typicalInterval <= 0) return 0;
  return 2 * *typicalInterval + 1;
}

ColumnDownsampler::ColumnDownsampler(int64_t start, int64_t end, int columns, int64_t maxGap)
    : start_(start), end_(end), columns_(columns), maxGap_(maxGap) {
  KESTRIX_VERIFY(start <= end && columns >= 1);
}

int ColumnDownsampler::Column(int64_t t) const {
  if (t <= start_) return 0;
  if (t >= end_) return columns_ - 1;
  // 128 bits: a span of years times a few thousand columns overflows 64.
  const __int128 c = static_cast<__int128>(t - start_) * columns_ / (static_cast<__int128>(end_ - start_) + 1);
  return static_cast<int>(c);
}

void ColumnDownsampler::Add(const Sample& sample) {
  // SQLite keeps infinities in REAL columns; they cannot be drawn, so they
  // break the line like a missing value.
  if (sample.value.IsNull() || !std::isfinite(sample.value.AsDouble())) {
    EndSegment();
    return;
  }
  if (previous_ && maxGap_ > 0 && sample.timestamp - *previous_ > maxGap_) EndSegment();
  previous_ = sample.timestamp;
  const ChartPoint p{sample.timestamp, sample.value.AsDouble()};
  const int c = Column(sample.timestamp);
  if (c != column_) {
    FlushColumn();
    column_ = c;
    min_ = p;
    max_ = p;
    return;
  }
  // Ties keep the earlier sample, so a flat column yields its first point.
  if (p.v < min_.v) min_ = p;
  if (p.v > max_.v) max_ = p;
}

void ColumnDownsampler::FlushColumn() {
  if (column_ < 0) return;
  if (min_.t == max_.t) {
    segment_.push_back(min_);
  } else if (min_.t < max_.t) {
    segment_.push_back(min_);
    segment_.push_back(max_);
  } else {
    segment_.push_back(max_);
    segment_.push_back(min_);
  }
  column_ = -1;
}

void ColumnDownsampler::EndSegment() {
  FlushColumn();
  if (!segment_.empty()) segments_.push_back(std::move(segment_));
  segment_.clear();
  previous_.reset();
}

std::vector<Segment> ColumnDownsampler::Finish() {
  EndSegment();
  return std::move(segments_);
}

}  // namespace Report
}  // namespace Tallywick
