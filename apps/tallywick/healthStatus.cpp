#include "apps/tallywick/healthStatus.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "apps/tallywick/storageEngine.h"
#include "kestrix/format.h"
#include "kestrix/time.h"

namespace Tallywick {

const char* const HealthyMessageKey = "com.norvex.fenmark.mon.health.healthy";
const char* const HealthyMessageText = "Appliance monitoring service is healthy.";
const char* const DbIntegrityMessageKey = "com.norvex.fenmark.mon.health.db_integrity_check_failed";
const char* const DbIntegrityMessageText =
    "Appliance monitoring statistics database integrity check failed.";
const char* const HealthStatusNamespace = "https://schemas.norvex.com/dop/cm/common/jaxb/healthstatus";

namespace {

const char* const kMessagePattern = "<message messageKey=\"%1\" defaultMessage=\"%2\"></message>";

// The declaration and the opening element are fixed; %1 level, %2 messages,
// %3 expiry seconds.
const std::string& ContentPattern() {
  static const std::string pattern =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>") +
      "<healthStatus schemaVersion=\"1.0\" xmlns=\"" + HealthStatusNamespace + "\">" +
      "<status>%1</status>%2<expirationMonoSec>%3</expirationMonoSec></healthStatus>";
  return pattern;
}

}  // namespace

const char* HealthLevelText(HealthLevel level) {
  switch (level) {
    case HealthLevel::Red: return "RED";
    case HealthLevel::Yellow: return "YELLOW";
    case HealthLevel::Green: return "GREEN";
  }
  return "RED";  // not a level: report the worst rather than a healthy text
}

void AddHealthMessage(HealthStatus& status, HealthLevel level, const std::string& key,
                      const std::string& text) {
  Kestrix::MessageFormatter::AppendToString(status.messages, kMessagePattern, key, text);
  if (static_cast<int32_t>(level) < static_cast<int32_t>(status.level)) status.level = level;
}

std::string FormatHealthStatus(const HealthStatus& status, uint64_t monotonicMicros) {
  const uint64_t expirySec = (monotonicMicros + HealthExpiryMicros) / 1000000;
  return Kestrix::MessageFormatter::ASPrint(ContentPattern(), HealthLevelText(status.level),
                                            status.messages, expirySec);
}

bool ReplaceFileContent(const std::string& path, const std::string& tmpPath,
                        const std::string& content, const Kestrix::Service::LoggerRef& logger) {
  FILE* f = fopen(tmpPath.c_str(), "w");
  if (f == nullptr) {
    KLOG(logger, ERROR, "Status file %1 write failed with %2", tmpPath, errno);
    return false;
  }
  const size_t written = fwrite(content.data(), 1, content.size(), f);
  if (written != content.size()) {
    KLOG(logger, ERROR, "Status file %1 write failed with %2", tmpPath, ferror(f));
    fclose(f);
    unlink(tmpPath.c_str());
    return false;
  }
  // fwrite only filled the stream's buffer: a full file system shows up here,
  // at the flush, or (on some file systems) only at fsync or close.
  if (fflush(f) != 0 || fsync(fileno(f)) != 0) {
    const int error = errno;
    KLOG(logger, ERROR, "Status file %1 write failed with %2", tmpPath, error);
    fclose(f);
    unlink(tmpPath.c_str());
    return false;
  }
  if (fclose(f) != 0) {
    KLOG(logger, ERROR, "Status file %1 write failed with %2", tmpPath, errno);
    unlink(tmpPath.c_str());
    return false;
  }
  if (rename(tmpPath.c_str(), path.c_str()) != 0) {
    KLOG(logger, ERROR, "Status file %1->%2 rename failed with %3", tmpPath, path, errno);
    unlink(tmpPath.c_str());
    return false;
  }
  return true;
}

bool WriteHealthStatusFile(StorageEngine& engine, const std::string& path, const std::string& tmpPath,
                           const Kestrix::Service::LoggerRef& logger) {
  HealthStatus status;
  engine.CheckHealth(status);
  if (status.level == HealthLevel::Green) {
    AddHealthMessage(status, HealthLevel::Green, HealthyMessageKey, HealthyMessageText);
  }
  const std::string content = FormatHealthStatus(status, Kestrix::System::GetMonotonicTime());
  return ReplaceFileContent(path, tmpPath, content, logger);
}

bool WriteDatabaseFailedStatusFile(const std::string& path, const std::string& tmpPath,
                                   const Kestrix::Service::LoggerRef& logger) {
  HealthStatus status;
  AddHealthMessage(status, HealthLevel::Red, DbIntegrityMessageKey, DbIntegrityMessageText);
  const std::string content = FormatHealthStatus(status, Kestrix::System::GetMonotonicTime());
  return ReplaceFileContent(path, tmpPath, content, logger);
}

}  // namespace Tallywick
