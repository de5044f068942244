#include "apps/tallywick-report/formats.h"

#include <cmath>
#include <cstdio>

#include "apps/tallywick-report/timeText.h"
#include "kestrix/exception.h"
#include "kestrix/stringUtil.h"

namespace Tallywick {
namespace Report {
namespace {

std::string OptionalTime(const std::optional<int64_t>& t) { return t ? FormatUtc(*t) : std::string(); }

void AppendJsonNumberOrNull(std::string& out, const SampleValue& v) {
  if (v.IsNull() || (v.kind == SampleValue::Kind::Real && !std::isfinite(v.real))) {
    out += "null";
  } else {
    out += FormatNumber(v);
  }
}

void AppendJsonOptionalInt(std::string& out, const std::optional<int64_t>& v) {
  out += v ? std::to_string(*v) : "null";
}

// Columns are padded by characters, not bytes: "packets/µs" is ten wide.
// The cells are UTF-8 (invalid bytes were escaped), so every byte that is
// not a continuation byte starts a character.
size_t DisplayWidth(const std::string& text) {
  size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

void WriteListTable(const std::vector<SeriesInfo>& series, std::ostream& out) {
  const std::vector<std::string> header = {"SERIES", "UNIT", "CATEGORY", "FIRST", "LAST", "ROWS", "TABLE"};
  std::vector<std::vector<std::string>> rows;
  rows.push_back(header);
  for (const SeriesInfo& s : series) {
    const std::string table = Kestrix::StringUtil::EscapeInvalidUtf8(s.table);
    rows.push_back({Kestrix::StringUtil::EscapeInvalidUtf8(s.name), UnitLabel(s.metadata.unit),
                    CategoryLabel(s.metadata.category), s.first ? FormatUtc(*s.first) : "-",
                    s.last ? FormatUtc(*s.last) : "-", s.hasTable ? std::to_string(s.rows) : "-",
                    s.hasTable ? table : table + " (missing)"});
  }
  std::vector<size_t> width(header.size(), 0);
  for (const auto& r : rows) {
    for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], DisplayWidth(r[i]));
  }
  std::string line;
  for (const auto& r : rows) {
    line.clear();
    for (size_t i = 0; i < r.size(); ++i) {
      const bool last = i + 1 == r.size();
      // The row count reads best right-aligned.
      if (i == 5) line.append(width[i] - DisplayWidth(r[i]), ' ');
      line += r[i];
      if (!last) {
        if (i != 5) line.append(width[i] - DisplayWidth(r[i]), ' ');
        line += "  ";
      }
    }
    out << line << '\n';
  }
}

void WriteListCsv(const std::vector<SeriesInfo>& series, std::ostream& out) {
  out << "series,table,unit,category,instance,first,last,rows\n";
  std::string line;
  for (const SeriesInfo& s : series) {
    line.clear();
    for (const std::string& f : {s.name, s.table, s.metadata.unit, s.metadata.category, s.metadata.instance,
                                 OptionalTime(s.first), OptionalTime(s.last)}) {
      AppendCsvField(line, f);
      line += ',';
    }
    line += std::to_string(s.rows);
    out << line << '\n';
  }
}

void WriteListJson(const std::vector<SeriesInfo>& series, std::ostream& out) {
  std::string text = "[";
  for (size_t i = 0; i < series.size(); ++i) {
    const SeriesInfo& s = series[i];
    text += i ? ",\n  {" : "\n  {";
    text += "\"series\": ";
    AppendJsonString(text, s.name);
    text += ", \"table\": ";
    AppendJsonString(text, s.table);
    text += ", \"table_present\": ";
    text += s.hasTable ? "true" : "false";
    text += ", \"unit\": ";
    AppendJsonString(text, s.metadata.unit);
    text += ", \"unit_label\": ";
    AppendJsonString(text, UnitLabel(s.metadata.unit));
    text += ", \"category\": ";
    AppendJsonString(text, s.metadata.category);
    text += ", \"instance\": ";
    AppendJsonString(text, s.metadata.instance);
    text += ", \"first\": ";
    AppendJsonOptionalInt(text, s.first);
    text += ", \"last\": ";
    AppendJsonOptionalInt(text, s.last);
    text += ", \"rows\": ";
    text += std::to_string(s.rows);
    text += "}";
  }
  text += series.empty() ? "]\n" : "\n]\n";
  out << text;
}

}  // namespace

Format ParseFormat(std::string_view text) {
  if (text == "table") return Format::Table;
  if (text == "csv") return Format::Csv;
  if (text == "json") return Format::Json;
  throw Kestrix::InvalidArgumentException("invalid format '" + std::string(text) +
                                          "': expected table, csv or json");
}

void AppendJsonString(std::string& out, std::string_view raw) {
  const std::string text = Kestrix::StringUtil::EscapeInvalidUtf8(raw);
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void AppendCsvField(std::string& out, std::string_view raw) {
  const std::string text = Kestrix::StringUtil::EscapeInvalidUtf8(raw);
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string FormatNumber(const SampleValue& v) {
  if (v.kind == SampleValue::Kind::Integer) return std::to_string(v.integer);
  if (std::isnan(v.real)) return "nan";
  if (std::isinf(v.real)) return v.real > 0 ? "inf" : "-inf";
  return Kestrix::StringUtil::ShortestDouble(v.real);
}

void WriteSeriesList(const std::vector<SeriesInfo>& series, Format format, std::ostream& out) {
  switch (format) {
    case Format::Table: WriteListTable(series, out); break;
    case Format::Csv: WriteListCsv(series, out); break;
    case Format::Json: WriteListJson(series, out); break;
  }
}

SampleWriter::SampleWriter(const SeriesInfo& series, Format format, std::ostream& out)
    : format_(format), out_(out) {
  switch (format_) {
    case Format::Table:
      // Columns as in Add: a 20-character time, the timestamp right-aligned in 10.
      out_ << "TIME" << std::string(16 + 2 + 1, ' ') << "TIMESTAMP  VALUE\n";
      break;
    case Format::Csv:
      out_ << "timestamp,time,value\n";
      break;
    case Format::Json: {
      std::string head = "{\"series\": ";
      AppendJsonString(head, series.name);
      head += ", \"table\": ";
      AppendJsonString(head, series.table);
      head += ", \"unit\": ";
      AppendJsonString(head, series.metadata.unit);
      head += ", \"unit_label\": ";
      AppendJsonString(head, UnitLabel(series.metadata.unit));
      head += ", \"samples\": [";
      out_ << head;
      break;
    }
  }
}

void SampleWriter::Add(const Sample& sample) {
  line_.clear();
  switch (format_) {
    case Format::Table: {
      line_ = FormatUtc(sample.timestamp);
      line_ += "  ";
      const std::string ts = std::to_string(sample.timestamp);
      if (ts.size() < 10) line_.append(10 - ts.size(), ' ');
      line_ += ts;
      line_ += "  ";
      line_ += sample.value.IsNull() ? "-" : FormatNumber(sample.value);
      line_ += '\n';
      break;
    }
    case Format::Csv:
      line_ = std::to_string(sample.timestamp);
      line_ += ',';
      line_ += FormatUtc(sample.timestamp);
      line_ += ',';
      if (!sample.value.IsNull()) line_ += FormatNumber(sample.value);
      line_ += '\n';
      break;
    case Format::Json:
      line_ = first_ ? "\n  {\"timestamp\": " : ",\n  {\"timestamp\": ";
      line_ += std::to_string(sample.timestamp);
      line_ += ", \"time\": \"";
      line_ += FormatUtc(sample.timestamp);
      line_ += "\", \"value\": ";
      AppendJsonNumberOrNull(line_, sample.value);
      line_ += '}';
      break;
  }
  first_ = false;
  out_ << line_;
}

void SampleWriter::Finish() {
  if (format_ == Format::Json) out_ << (first_ ? "]}\n" : "\n]}\n");
  out_.flush();
}

}  // namespace Report
}  // namespace Tallywick
