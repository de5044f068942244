// MetricsExporter keeps a Prometheus textfile (the format node_exporter's
// textfile collector reads) with the latest value of every stored series.
// Each collection publishes a snapshot of its own samples after a pass; the
// exporter never reads a collection's live series, and rewrites the whole file
// atomically (temporary file, fsync, rename) after each publication.
//
// Names: "tallywick_" + the series' family (the series name, or for a
// per-instance series its template name) with every character outside
// [a-zA-Z0-9_] as '_'. Per-instance series carry one label: "interface" for
// network series, "mountpoint" for file systems, "path" for directory trees.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "kestrix/log.h"
#include "kestrix/object.h"

namespace Tallywick {

/// MetricSample is one line of the file.
struct MetricSample {
  std::string family;      ///< series or template name, e.g. "net.rx.activity"
  std::string instance;    ///< attribute value of a per-instance series, else ""
  std::string units;       ///< unit text from the series' metadata
  bool integer = false;    ///< value kind 0: printed as an integer
  double value = 0;
  int64_t integerValue = 0;
};
using MetricSnapshot = std::vector<MetricSample>;

/// MetricName: "tallywick_" + family with invalid characters replaced.
std::string MetricName(const std::string& family);
/// LabelNameFor: the label of a family's instances ("interface", ...).
std::string LabelNameFor(const std::string& family);
/// FormatMetrics: the exposition text of the snapshots, families sorted by
/// name, each with its HELP and TYPE lines once.
std::string FormatMetrics(const std::vector<MetricSnapshot>& snapshots);

class MetricsExporter : public Kestrix::ObjectImpl {
public:
  /// path must end in ".prom"; collections: how many publish.
  MetricsExporter(std::string path, size_t collections, Kestrix::Service::LoggerRef logger);

  /// Publish replaces collection slot's snapshot and rewrites the file; false
  /// (logged) when the file could not be written, the previous one staying.
  bool Publish(size_t slot, MetricSnapshot snapshot);

private:
  bool WriteFile(const std::string& text);

  const std::string path_;
  const std::string tempPath_;
  const Kestrix::Service::LoggerRef logger_;
  std::mutex mutex_;  // guards snapshots_ and the file: one publication at a time
  std::vector<MetricSnapshot> snapshots_;
};
using MetricsExporterRef = Kestrix::Ref<MetricsExporter>;

}  // namespace Tallywick
