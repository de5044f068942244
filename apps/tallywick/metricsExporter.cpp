#include "apps/tallywick/metricsExporter.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "kestrix/stringUtil.h"

namespace Tallywick {

namespace {

// Escape for HELP text (backslash, newline) and, with quotes, label values.
std::string Escape(const std::string& text, bool quotes) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '"' && quotes) out += "\\\"";
    else out += c;
  }
  return out;
}

std::string FormatValue(const MetricSample& s) {
  return s.integer ? std::to_string(s.integerValue) : Kestrix::StringUtil::ShortestDouble(s.value);
}

bool HasPrefix(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

std::string MetricName(const std::string& family) {
  std::string name = "tallywick_";
  for (const char c : family) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    name += ok ? c : '_';
  }
  return name;
}

std::string LabelNameFor(const std::string& family) {
  if (HasPrefix(family, "net.")) return "interface";
  if (family.find(".filesystem") != std::string::npos) return "mountpoint";
  if (family.find(".directory") != std::string::npos) return "path";
  return "instance_name";
}

std::string FormatMetrics(const std::vector<MetricSnapshot>& snapshots) {
  // Metric name -> its samples; two families that sanitise to one name share it.
  std::map<std::string, std::vector<const MetricSample*>> byName;
  for (const auto& snapshot : snapshots) {
    for (const auto& s : snapshot) byName[MetricName(s.family)].push_back(&s);
  }
  std::string out;
  for (auto& [name, samples] : byName) {
    std::sort(samples.begin(), samples.end(),
              [](const MetricSample* a, const MetricSample* b) { return a->instance < b->instance; });
    const MetricSample& first = *samples.front();
    out += "# HELP " + name + " tallywick series " + Escape(first.family, false) +
           (first.units.empty() ? "" : " (" + Escape(first.units, false) + ")") + "\n";
    out += "# TYPE " + name + " gauge\n";
    for (const MetricSample* s : samples) {
      out += name;
      if (!s->instance.empty()) out += "{" + LabelNameFor(s->family) + "=\"" + Escape(s->instance, true) + "\"}";
      out += " " + FormatValue(*s) + "\n";
    }
  }
  return out;
}

MetricsExporter::MetricsExporter(std::string path, size_t collections, Kestrix::Service::LoggerRef logger)
    : path_(std::move(path)), tempPath_(path_ + ".tmp"), logger_(std::move(logger)), snapshots_(collections) {}

bool MetricsExporter::Publish(size_t slot, MetricSnapshot snapshot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slot >= snapshots_.size()) snapshots_.resize(slot + 1);
  snapshots_[slot] = std::move(snapshot);
  return WriteFile(FormatMetrics(snapshots_));
}

bool MetricsExporter::WriteFile(const std::string& text) {
  const int fd = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    KLOG(logger_, ERROR, "Unable to write metrics file %1: %2", tempPath_, strerror(errno));
    return false;
  }
  const char* p = text.data();
  size_t left = text.size();
  int error = 0;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  // A short or unsynced file never replaces the previous one.
  if (error == 0 && ::rename(tempPath_.c_str(), path_.c_str()) != 0) error = errno;
  if (error != 0) {
    KLOG(logger_, ERROR, "Unable to write metrics file %1: %2", path_, strerror(error));
    ::unlink(tempPath_.c_str());
    return false;
  }
  return true;
}

}  // namespace Tallywick
