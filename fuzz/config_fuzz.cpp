// Feeds arbitrary bytes to the configuration loader the service uses: the
// input is written to a file, loaded, and every node of the tree is read back
// as a string, an integer and a boolean, plus the service's own keys. Loading
// and lookups may refuse the input only with a core-family exception.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrix/config.h"
#include "kestrix/exception.h"

using namespace Kestrix::Service;

namespace {

std::string FilePath() {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/tw-config-fuzz-" + std::to_string(getpid()) + ".xml";
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Reads every value below node, breadth first (no recursion).
void ReadAll(const ConfigNodeRef& top) {
  std::vector<ConfigNodeRef> pending{top};
  for (size_t i = 0; i < pending.size(); ++i) {
    const ConfigNodeRef node = pending[i];
    std::string s;
    int64_t v = 0;
    bool b = false;
    if (!node->GetString("", s)) std::abort();  // a node always has its own value
    try {
      node->GetInt64("", v);
    } catch (const Kestrix::InvalidArgumentException&) {
    }
    try {
      node->GetBool("", b);
    } catch (const Kestrix::InvalidArgumentException&) {
    }
    std::vector<std::string> names;
    if (!node->GetChildNames("", names)) std::abort();
    for (const auto& name : names) {
      ConfigNodeRef child;
      try {
        if (!node->GetNode(name, child)) std::abort();  // a listed child is found
      } catch (const Kestrix::InvalidArgumentException&) {
        continue;  // two children of that name
      }
      pending.push_back(child);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = FilePath();
  Write(path, data, size);
  ConfigRef config;
  CreateXmlFileConfig(path, -1, 0, config);
  try {
    config->Load();
  } catch (const Kestrix::Exception&) {
    return 0;  // refused: not well-formed, not UTF-8, too deep
  }
  ReadAll(config->GetRoot());
  static const char* const kKeys[] = {"tallywick/persistence/statTtlSec", "tallywick/cpuMemNetSamplingPeriodSec",
                                      "tallywick/storageSizeSamplingPeriodSec", "statsRegistry/parallelCollect",
                                      "tallywick/storageSizeProvider/filesystems"};
  for (const char* key : kKeys) {
    int64_t v = 0;
    try {
      config->GetRoot()->GetInt64(key, v);
    } catch (const Kestrix::InvalidArgumentException&) {
    }
  }
  return 0;
}
