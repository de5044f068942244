#include "apps/tallywick/metricsExporter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/apps/tallywick/testSupport.h"

namespace {

using Tallywick::MetricSample;
using Tallywick::Testing::ReadFile;

MetricSample Real(std::string family, std::string instance, double v, std::string units = "") {
  return {std::move(family), std::move(instance), std::move(units), false, v, 0};
}
MetricSample Integer(std::string family, int64_t v, std::string units) {
  return {std::move(family), "", std::move(units), true, 0, v};
}

TEST(MetricsExporterTest, TextIsGroupedByFamilyWithEscapedLabels) {
  const std::vector<Tallywick::MetricSnapshot> snapshots = {
      {Integer("mem.total", 24683784, "kb"), Real("net.rx.activity", "q\"x", 0.5, "kbps"),
       Real("net.rx.activity", "eth0.100", 0.25, "kbps"), Real("cpu.util", "", 12.5, "percent"),
       Real("cpu.totalfrequency", "", 5192.284), Real("net.tx.packetRate", "lo", 1e-7)},
      {Real("storage.used.filesystem", "/", 1024, "kb"), Real("storage.totalsize.directory", "/var/a\\b\nc", 3),
       Integer("mem-odd name", -7, "")},
  };
  EXPECT_EQ(Tallywick::FormatMetrics(snapshots),
            "# HELP tallywick_cpu_totalfrequency tallywick series cpu.totalfrequency\n"
            "# TYPE tallywick_cpu_totalfrequency gauge\n"
            "tallywick_cpu_totalfrequency 5192.284\n"
            "# HELP tallywick_cpu_util tallywick series cpu.util (percent)\n"
            "# TYPE tallywick_cpu_util gauge\n"
            "tallywick_cpu_util 12.5\n"
            "# HELP tallywick_mem_odd_name tallywick series mem-odd name\n"
            "# TYPE tallywick_mem_odd_name gauge\n"
            "tallywick_mem_odd_name -7\n"
            "# HELP tallywick_mem_total tallywick series mem.total (kb)\n"
            "# TYPE tallywick_mem_total gauge\n"
            "tallywick_mem_total 24683784\n"
            "# HELP tallywick_net_rx_activity tallywick series net.rx.activity (kbps)\n"
            "# TYPE tallywick_net_rx_activity gauge\n"
            "tallywick_net_rx_activity{interface=\"eth0.100\"} 0.25\n"
            "tallywick_net_rx_activity{interface=\"q\\\"x\"} 0.5\n"
            "# HELP tallywick_net_tx_packetRate tallywick series net.tx.packetRate\n"
            "# TYPE tallywick_net_tx_packetRate gauge\n"
            "tallywick_net_tx_packetRate{interface=\"lo\"} 1e-07\n"
            "# HELP tallywick_storage_totalsize_directory tallywick series storage.totalsize.directory\n"
            "# TYPE tallywick_storage_totalsize_directory gauge\n"
            "tallywick_storage_totalsize_directory{path=\"/var/a\\\\b\\nc\"} 3\n"
            "# HELP tallywick_storage_used_filesystem tallywick series storage.used.filesystem (kb)\n"
            "# TYPE tallywick_storage_used_filesystem gauge\n"
            "tallywick_storage_used_filesystem{mountpoint=\"/\"} 1024\n");
}

TEST(MetricsExporterTest, FileIsReplacedWholeOrNotAtAll) {
  Tallywick::Testing::ScratchDir dir;
  Tallywick::Testing::CapturedLog log(dir);
  const std::string path = dir.File("tallywick.prom");
  Tallywick::MetricsExporter exporter(path, 2, log.Logger());
  ASSERT_TRUE(exporter.Publish(0, {Integer("mem.total", 1, "kb")}));
  ASSERT_TRUE(exporter.Publish(1, {Integer("mem.util", 2, "kb")}));
  // The slot's new snapshot replaces its old one, the other slot's stays.
  ASSERT_TRUE(exporter.Publish(0, {Integer("mem.total", 3, "kb")}));
  const std::string before = ReadFile(path);
  EXPECT_EQ(before, Tallywick::FormatMetrics({{Integer("mem.total", 3, "kb")}, {Integer("mem.util", 2, "kb")}}));

  // The temporary file cannot be created (a directory in its place): the
  // previous file stays as it was.
  ASSERT_EQ(::mkdir((path + ".tmp").c_str(), 0755), 0);
  EXPECT_FALSE(exporter.Publish(0, {Integer("mem.total", 4, "kb")}));
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(log.CountPrefix("error Unable to write metrics file " + path + ".tmp: "), 1u) << log.Text();
}

}  // namespace
