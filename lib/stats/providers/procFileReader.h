// ProcFileReader reads files of a /proc tree whole, relative to a root
// directory given at construction ("/proc" on a live system, a captured tree
// in tests), into one buffer that is reused from read to read.
//
// One reader serves one provider on one thread at a time: the text returned by
// `Read` stays valid until the next `Read`. In steady state a read allocates
// nothing; the buffer only grows when a file is larger than any before.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace Stats {
namespace Providers {

class ProcFileReader {
public:
  /// The root directory is opened once, here; when that fails every later
  /// call fails with the errno of this open.
  explicit ProcFileReader(std::string root = "/proc");
  ~ProcFileReader();
  ProcFileReader(const ProcFileReader&) = delete;
  ProcFileReader& operator=(const ProcFileReader&) = delete;

  /// Read reads root/relative whole. Returns true and sets text to the content
  /// (which may be empty); false on failure, with the errno in LastError.
  bool Read(const char* relative, std::string_view& text);
  /// OpenDirectory opens root/relative (relative "." is the root itself) as a
  /// directory descriptor, or returns -1 with errno set. The caller closes it.
  int OpenDirectory(const char* relative) const;

  const std::string& GetRoot() const { return root_; }
  /// LastError is the errno of the last failed call.
  int LastError() const { return lastError_; }

private:
  const std::string root_;
  int rootFd_ = -1;
  int rootError_ = 0;
  int lastError_ = 0;
  std::unique_ptr<char[]> buffer_;  // capacity_ bytes, not zero-filled
  size_t capacity_ = 0;
};

}  // namespace Providers
}  // namespace Stats
