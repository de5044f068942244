// Text output of the report: the series list and the samples of one series,
// as an aligned table, CSV (RFC 4180) or JSON. Times are written as UTC
// ("2026-12-07T05:00:00Z") and, in CSV and JSON, also as epoch seconds.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "apps/tallywick-report/reportDatabase.h"

namespace Tallywick {
namespace Report {

enum class Format { Table, Csv, Json };

/// ParseFormat reads "table", "csv" or "json"; throws
/// `Kestrix::InvalidArgumentException` naming the text otherwise.
Format ParseFormat(std::string_view text);

/// AppendJsonString appends text as a JSON string literal: quotes, backslash
/// and control characters escaped, bytes that are not UTF-8 as %XX (names
/// come from the database as bytes), the rest unchanged.
void AppendJsonString(std::string& out, std::string_view text);

/// AppendCsvField appends text as one CSV field, bytes that are not UTF-8 as
/// %XX, quoted (with quotes doubled) when it holds a comma, a quote or a line
/// break.
void AppendCsvField(std::string& out, std::string_view text);

/// FormatNumber writes a non-null value: integers exactly, reals in the
/// shortest form that reads back to the same double ("inf", "-inf", "nan"
/// for the non-finite ones).
std::string FormatNumber(const SampleValue& v);

/// WriteSeriesList writes every series: name, table, unit, category,
/// instance, first and last time and row count.
void WriteSeriesList(const std::vector<SeriesInfo>& series, Format format, std::ostream& out);

/// SampleWriter streams the samples of one series in a format: `Add` for each
/// sample in order, then `Finish` once. Null values are written as empty
/// (CSV), null (JSON) or "-" (table); JSON has no non-finite numbers, so
/// those are written as null too.
class SampleWriter {
public:
  SampleWriter(const SeriesInfo& series, Format format, std::ostream& out);
  void Add(const Sample& sample);
  void Finish();

private:
  Format format_;
  std::ostream& out_;
  std::string line_;  // reused for every sample
  bool first_ = true;
};

}  // namespace Report
}  // namespace Tallywick
