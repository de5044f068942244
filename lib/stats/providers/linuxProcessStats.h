// Per-process statistics of the Linux system provider: the process selectors,
// the record of one tracked process (`ProcessInfo`), and `ProcessTable`, which
// enumerates the /proc tree, keeps the tracked processes and counts tasks.
//
// A process is tracked when its whole command line matches a selector's
// expression. Without selectors nothing is tracked and no per-process file is
// ever opened. With selectors, a process that matched none is remembered by
// (pid, start time, command name), so its command line is read once, and read
// again only when the pid is reused or the process has exec'd.
//
// Not thread safe: one table belongs to one provider, used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestrix/log.h"
#include "kestrix/object.h"
#include "public/stats/statInstance.h"
#include "stats/providers/procFileReader.h"

namespace Stats {
namespace Providers {

/// ProcessSelector names a set of processes: those whose whole command line
/// (arguments joined by single spaces) matches expression, a Boost.Regex
/// expression in Perl syntax.
struct ProcessSelector {
  std::string name;
  std::string expression;
};
using ProcessSelectorList = std::vector<ProcessSelector>;

/// ProcessInfo is the record of one tracked process. Name and command line are
/// fixed at creation; the values are re-read by each refresh.
class ProcessInfo : public Kestrix::ObjectImpl {
public:
  static constexpr int kValueCount = 16;  // provider ids 0-15

  /// The outcome of a refresh.
  enum class Refresh {
    Read,      // the stat file was read; GetState holds the state (NUL when it did not parse)
    Vanished,  // the stat file is gone: the process has exited
    Replaced,  // another process now has this pid (its start time differs)
  };

  ProcessInfo(uint32_t pid, std::string name, std::string commandLine, uint64_t startTime);

  /// RefreshValues re-reads stat, statm and the fd directory.
  Refresh RefreshValues(ProcFileReader& reader, uint64_t microsPerTick);

  uint32_t GetPid() const { return pid_; }
  const std::string& GetName() const { return name_; }
  const std::string& GetCommandLine() const { return commandLine_; }
  /// GetCommandName is "(comm)" as read from stat, or "<unknown>" before that.
  const std::string& GetCommandName() const { return commandName_; }
  const AttributeValues& GetAttributeValues() const { return attributeValues_; }
  char GetState() const { return state_; }
  /// GetValue returns the value at provider id (0-15), kAbsent when not read.
  uint64_t GetValue(int64_t providerId) const { return values_[static_cast<size_t>(providerId)]; }

private:
  void CountDescriptors(ProcFileReader& reader);

  const uint32_t pid_;
  const std::string name_;
  const std::string commandLine_;
  const uint64_t startTime_;  // ticks since boot, kAbsent when unknown
  const std::string statPath_;
  const std::string statmPath_;
  const std::string fdPath_;
  const AttributeValues attributeValues_;
  std::string commandName_ = "<unknown>";
  char state_ = '\0';
  std::array<uint64_t, kValueCount> values_;
};
using ProcessInfoRef = Kestrix::Ref<ProcessInfo>;

/// TaskCounts are the system-wide task counters (provider ids 76-81).
struct TaskCounts {
  uint64_t total = 0, running = 0, sleeping = 0, blocked = 0, stopped = 0, zombie = 0;
};

class ProcessTable {
public:
  /// Compiles the selectors; an expression that does not compile raises
  /// Kestrix::InvalidArgumentException naming the selector and the error.
  ProcessTable(const ProcessSelectorList& selectors, Kestrix::Service::LoggerRef logger);
  ~ProcessTable();

  /// Enumerate re-lists the pid directories of the tree: records of vanished
  /// pids are dropped, newly seen pids are matched against the selectors.
  /// Returns false (records kept) when the directory cannot be read.
  bool Enumerate(ProcFileReader& reader);

  /// Refresh refreshes every record in ascending pid order and counts the
  /// tracked tasks by state. Records of processes that vanished or were
  /// replaced are dropped and not counted.
  TaskCounts Refresh(ProcFileReader& reader, uint64_t microsPerTick);

  /// Find returns the record of pid, or null.
  ProcessInfo* Find(uint32_t pid) const;
  const std::map<uint32_t, ProcessInfoRef>& GetProcesses() const { return processes_; }
  /// IsMemoized is true when pid is remembered as matching no selector.
  bool IsMemoized(uint32_t pid) const { return rejected_.count(pid) != 0; }

private:
  struct Compiled;
  struct Rejected {
    uint64_t startTime;
    std::string commandName;
    uint64_t generation;
  };

  // Consider decides on a pid not tracked yet; new records go to pending_.
  void Consider(ProcFileReader& reader, uint32_t pid);

  const Kestrix::Service::LoggerRef logger_;
  std::vector<std::unique_ptr<Compiled>> selectors_;
  std::map<uint32_t, ProcessInfoRef> processes_;
  std::map<uint32_t, Rejected> rejected_;  // pids that matched no selector
  std::vector<ProcessInfoRef> pending_;    // found by the running enumeration
  std::vector<uint32_t> listed_;           // pids listed by the running enumeration
  uint64_t generation_ = 0;
  std::string cmdline_;                    // reused buffer for command lines
};

}  // namespace Providers
}  // namespace Stats
