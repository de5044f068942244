#include "kestrix/assert.h"

#include <stdlib.h>

#include "kestrix/log.h"

namespace Kestrix {

void Panic(const char* format, const char* file, int line) {
  char text[512];
  std::snprintf(text, sizeof text, format, file, line);
  auto logger = Service::GetDefaultLogger();
  logger->Write(Service::LOG_ERROR, text);
  if (logger->GetSink()->Fd() != 2) {
    std::fputs(text, stderr);
    std::fflush(stderr);
  }
  logger->GetSink()->Flush();
  abort();
}

}  // namespace Kestrix
