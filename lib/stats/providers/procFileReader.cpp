#include "stats/providers/procFileReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Stats {
namespace Providers {
namespace {

// Large enough for meminfo, stat and diskstats of a small host in one read.
constexpr size_t kInitialCapacity = 16 * 1024;

}  // namespace

ProcFileReader::ProcFileReader(std::string root) : root_(std::move(root)) {
  rootFd_ = ::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (rootFd_ < 0) rootError_ = errno;
}

ProcFileReader::~ProcFileReader() {
  if (rootFd_ >= 0) ::close(rootFd_);
}

int ProcFileReader::OpenDirectory(const char* relative) const {
  if (rootFd_ < 0) {
    errno = rootError_;
    return -1;
  }
  return ::openat(rootFd_, relative, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool ProcFileReader::Read(const char* relative, std::string_view& text) {
  if (rootFd_ < 0) {
    lastError_ = rootError_;
    return false;
  }
  const int fd = ::openat(rootFd_, relative, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  if (!buffer_) {
    buffer_.reset(new char[kInitialCapacity]);
    capacity_ = kInitialCapacity;
  }
  size_t size = 0;
  for (;;) {
    if (size == capacity_) {
      std::unique_ptr<char[]> bigger(new char[capacity_ * 2]);
      std::memcpy(bigger.get(), buffer_.get(), size);
      buffer_ = std::move(bigger);
      capacity_ *= 2;
    }
    const ssize_t n = ::read(fd, buffer_.get() + size, capacity_ - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  ::close(fd);
  text = std::string_view(buffer_.get(), size);
  return true;
}

}  // namespace Providers
}  // namespace Stats
