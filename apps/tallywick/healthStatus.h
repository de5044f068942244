// The health status that other services of the appliance read from a small XML
// file: a traffic-light level, message elements (message-catalogue key plus
// default text) and an expiry on the monotonic clock ten minutes ahead, so that
// the file goes stale when the service stops rewriting it.
//
// `WriteHealthStatusFile` is the whole rewrite (database check, content,
// atomic replacement); the pieces below it exist for callers and tests that need
// one step alone.
#pragma once

#include <cstdint>
#include <string>

#include "kestrix/log.h"

namespace Tallywick {

class StorageEngine;

/// HealthLevel, ordered from worst to best.
enum class HealthLevel : int32_t { Red = 0, Yellow = 1, Green = 2 };

/// HealthLevelText returns "RED", "YELLOW" or "GREEN".
const char* HealthLevelText(HealthLevel level);

/// HealthStatus collects the message elements and the lowest level added so far.
struct HealthStatus {
  std::string messages;
  HealthLevel level = HealthLevel::Green;
};

/// Message keys and default texts of this service.
/// HealthyMessageKey: "com.norvex.fenmark.mon.health.healthy" (green).
extern const char* const HealthyMessageKey;
/// HealthyMessageText: "Appliance monitoring service is healthy."
extern const char* const HealthyMessageText;
/// DbIntegrityMessageKey: "com.norvex.fenmark.mon.health.db_integrity_check_failed" (red).
extern const char* const DbIntegrityMessageKey;
/// DbIntegrityMessageText: "Appliance monitoring statistics database integrity check failed."
extern const char* const DbIntegrityMessageText;

/// HealthStatusNamespace is the xmlns of the healthStatus element:
/// "https://schemas.norvex.com/dop/cm/common/jaxb/healthstatus".
extern const char* const HealthStatusNamespace;

/// HealthExpiryMicros is how far ahead of the write the expiry lies (600 s).
constexpr uint64_t HealthExpiryMicros = 600000000;

/// AddHealthMessage appends one message element (key and text inserted without
/// escaping) and lowers the level to `level` when that is worse.
void AddHealthMessage(HealthStatus& status, HealthLevel level, const std::string& key,
                      const std::string& text);

/// FormatHealthStatus returns the one-line file content (no line end) for a
/// write at monotonic time `monotonicMicros`; the expiry is
/// (monotonicMicros + 600,000,000) / 1,000,000 whole seconds.
std::string FormatHealthStatus(const HealthStatus& status, uint64_t monotonicMicros);

/// ReplaceFileContent writes content to tmpPath, flushes, fsyncs and closes it,
/// and only when all of that succeeded renames it onto path, so that path is
/// never replaced by a truncated file. Returns true when path holds content.
/// Failures are logged, never raised:
///  - "Status file %1 write failed with %2" (tmpPath; the errno of a failed
///    open, flush, fsync or close, or the stream's error indicator after a short
///    write), and the rename is skipped;
///  - "Status file %1->%2 rename failed with %3" (tmpPath, path, errno).
/// A failure after tmpPath was created removes it again.
bool ReplaceFileContent(const std::string& path, const std::string& tmpPath,
                        const std::string& content, const Kestrix::Service::LoggerRef& logger);

/// WriteHealthStatusFile runs the engine's health check, adds the healthy
/// message when nothing lowered the level, and replaces path through tmpPath
/// with the content for the current monotonic time. Returns what
/// ReplaceFileContent returns.
bool WriteHealthStatusFile(StorageEngine& engine, const std::string& path, const std::string& tmpPath,
                           const Kestrix::Service::LoggerRef& logger);

/// WriteDatabaseFailedStatusFile replaces path through tmpPath with a RED
/// status holding the integrity message, for a start that could not open or
/// set up the database: readers would otherwise trust the previous run's
/// status until its expiry. Returns what ReplaceFileContent returns.
bool WriteDatabaseFailedStatusFile(const std::string& path, const std::string& tmpPath,
                                   const Kestrix::Service::LoggerRef& logger);

}  // namespace Tallywick
