#include "kestrix/assert.h"

#include <stdlib.h>

#include "kestrix/log.h"

namespace Kestrix {

void Panic(const char* format, const char* file, int line) {
  char text[512];
  std::snprintf(text, sizeof text, format, file, line);
  // The exact text always reaches standard error; a log file gets it as a line.
  std::fputs(text, stderr);
  std::fflush(stderr);
  auto logger = Service::GetDefaultLogger();
  if (logger->GetSink()->Fd() != 2) {
    logger->Write(Service::LOG_ERROR, text);
    logger->GetSink()->Flush();
  }
  abort();
}

}  // namespace Kestrix
