#include "stats/providers/linuxProcessStats.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cerrno>
#include <charconv>

#include "kestrix/exception.h"
#include "stats/providers/procParsers.h"

namespace Stats {
namespace Providers {
namespace {

constexpr uint64_t kPageSize = 4096;

// Provider ids of the per-process values.
enum : size_t {
  kSystemTime = 0, kUserTime, kThreads, kVirtual, kResident, kText, kData, kShared,
  kFdFile, kFdDir, kFdLink, kFdFifo, kFdSocket, kFdBlock, kFdChar, kFdWeird,
};

std::string PidPath(uint32_t pid, const char* leaf) {
  return std::to_string(pid) + "/" + leaf;
}

// PidPathInto writes "<pid>/<leaf>" into buf without allocating.
const char* PidPathInto(char (&buf)[48], uint32_t pid, const char* leaf) {
  char* end = std::to_chars(buf, buf + 16, pid).ptr;
  *end++ = '/';
  for (const char* p = leaf; *p && end < buf + sizeof(buf) - 1; ++p) *end++ = *p;
  *end = '\0';
  return buf;
}

// ParsePid accepts a directory name made only of digits that fits a pid.
bool ParsePid(const char* name, uint32_t& pid) {
  uint64_t v = 0;
  if (!ParseUnsigned(name, v) || v > UINT32_MAX) return false;
  pid = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

struct ProcessTable::Compiled {
  std::string name;
  boost::regex expression;
};

ProcessInfo::ProcessInfo(uint32_t pid, std::string name, std::string commandLine, uint64_t startTime)
    : pid_(pid),
      name_(std::move(name)),
      commandLine_(std::move(commandLine)),
      startTime_(startTime),
      statPath_(PidPath(pid, "stat")),
      statmPath_(PidPath(pid, "statm")),
      fdPath_(PidPath(pid, "fd")),
      attributeValues_{std::to_string(pid)} {
  values_.fill(kAbsent);
}

ProcessInfo::Refresh ProcessInfo::RefreshValues(ProcFileReader& reader, uint64_t microsPerTick) {
  values_.fill(kAbsent);
  state_ = '\0';
  std::string_view text;
  if (!reader.Read(statPath_.c_str(), text)) {
    // ESRCH: the pid directory is still listed but the task is being reaped.
    if (reader.LastError() == ENOENT || reader.LastError() == ESRCH) return Refresh::Vanished;
  } else {
    PidStat stat;
    if (ParsePidStat(text, stat)) {
      if (startTime_ != kAbsent && stat.startTime != kAbsent && stat.startTime != startTime_)
        return Refresh::Replaced;
      commandName_.assign(stat.comm.data(), stat.comm.size());
      state_ = stat.state;
      values_[kUserTime] = MultiplyOrAbsent(stat.utime, microsPerTick);
      values_[kSystemTime] = MultiplyOrAbsent(stat.stime, microsPerTick);
      values_[kThreads] = stat.threads;
      values_[kVirtual] = stat.vsize;
      values_[kResident] = MultiplyOrAbsent(stat.rss, kPageSize);
    }
  }
  if (reader.Read(statmPath_.c_str(), text)) {
    PidStatm statm;
    if (ParsePidStatm(text, statm)) {
      if (values_[kVirtual] == kAbsent) values_[kVirtual] = MultiplyOrAbsent(statm.size, kPageSize);
      if (values_[kResident] == kAbsent) values_[kResident] = MultiplyOrAbsent(statm.resident, kPageSize);
      values_[kText] = MultiplyOrAbsent(statm.text, kPageSize);
      values_[kData] = MultiplyOrAbsent(statm.data, kPageSize);
      values_[kShared] = MultiplyOrAbsent(statm.shared, kPageSize);
    }
  }
  CountDescriptors(reader);
  return Refresh::Read;
}

void ProcessInfo::CountDescriptors(ProcFileReader& reader) {
  const int fd = reader.OpenDirectory(fdPath_.c_str());
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  for (size_t i = kFdFile; i <= kFdWeird; ++i) values_[i] = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    // fstatat follows the descriptor's link to what it refers to.
    struct stat st;
    size_t kind = kFdWeird;
    if (::fstatat(fd, entry->d_name, &st, 0) == 0) {
      switch (st.st_mode & S_IFMT) {
        case S_IFREG: kind = kFdFile; break;
        case S_IFDIR: kind = kFdDir; break;
        case S_IFLNK: kind = kFdLink; break;
        case S_IFIFO: kind = kFdFifo; break;
        case S_IFSOCK: kind = kFdSocket; break;
        case S_IFBLK: kind = kFdBlock; break;
        case S_IFCHR: kind = kFdChar; break;
        default: break;
      }
    }
    ++values_[kind];
  }
  ::closedir(dir);
}

ProcessTable::ProcessTable(const ProcessSelectorList& selectors, Kestrix::Service::LoggerRef logger)
    : logger_(std::move(logger)) {
  for (const auto& s : selectors) {
    auto compiled = std::make_unique<Compiled>();
    compiled->name = s.name;
    try {
      compiled->expression.assign(s.expression, boost::regex::perl);
    } catch (const boost::regex_error& e) {
      throw Kestrix::InvalidArgumentException("process selector '" + s.name + "': expression '" +
                                              s.expression + "' does not compile: " + e.what());
    }
    selectors_.push_back(std::move(compiled));
  }
}

ProcessTable::~ProcessTable() = default;

ProcessInfo* ProcessTable::Find(uint32_t pid) const {
  const auto it = processes_.find(pid);
  return it == processes_.end() ? nullptr : it->second.Get();
}

bool ProcessTable::Enumerate(ProcFileReader& reader) {
  const int fd = reader.OpenDirectory(".");
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (!dir) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    KLOG(logger_, ERROR, "Directory '/proc' not opened (errno=%1)", error);
    return false;
  }
  ++generation_;
  listed_.clear();
  pending_.clear();
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    uint32_t pid = 0;
    if (!ParsePid(entry->d_name, pid)) continue;
    listed_.push_back(pid);
    if (!selectors_.empty() && processes_.count(pid) == 0) Consider(reader, pid);
    errno = 0;
  }
  if (errno != 0) {
    KLOG(logger_, ERROR, "Error %1 while enumerating processes", errno);
    ::closedir(dir);
    pending_.clear();
    return false;
  }
  ::closedir(dir);

  std::sort(listed_.begin(), listed_.end());
  const auto listed = [this](uint32_t pid) {
    return std::binary_search(listed_.begin(), listed_.end(), pid);
  };
  for (auto it = processes_.begin(); it != processes_.end();)
    it = listed(it->first) ? std::next(it) : processes_.erase(it);
  for (auto it = rejected_.begin(); it != rejected_.end();)
    it = it->second.generation == generation_ ? std::next(it) : rejected_.erase(it);
  for (auto& info : pending_) {
    const uint32_t pid = info->GetPid();
    processes_.emplace(pid, std::move(info));
  }
  pending_.clear();
  return true;
}

void ProcessTable::Consider(ProcFileReader& reader, uint32_t pid) {
  char path[48];
  std::string_view text;
  // The start time and command name tell a remembered process from a new one
  // with the same pid, and a forked child from itself after exec.
  if (!reader.Read(PidPathInto(path, pid, "stat"), text)) return;  // gone already
  PidStat stat;
  ParsePidStat(text, stat);
  const auto known = rejected_.find(pid);
  if (known != rejected_.end() && known->second.startTime == stat.startTime &&
      known->second.commandName == stat.comm) {
    known->second.generation = generation_;
    return;
  }
  const uint64_t startTime = stat.startTime;
  const std::string_view comm = stat.comm;  // points into the reader's buffer: copy before the next read
  Rejected& memo = rejected_[pid];
  memo.startTime = startTime;
  memo.commandName.assign(comm.data(), comm.size());
  memo.generation = generation_;

  if (reader.Read(PidPathInto(path, pid, "cmdline"), text)) CmdlineToText(text, cmdline_);
  else cmdline_.clear();
  for (const auto& s : selectors_) {
    if (boost::regex_match(cmdline_, s->expression)) {
      rejected_.erase(pid);
      pending_.push_back(Kestrix::MakeRef<ProcessInfo>(pid, s->name, cmdline_, startTime));
      KLOG(logger_, TRIVIA, "Found process %1", pid);
      return;
    }
  }
}

TaskCounts ProcessTable::Refresh(ProcFileReader& reader, uint64_t microsPerTick) {
  TaskCounts counts;
  for (auto it = processes_.begin(); it != processes_.end();) {
    ProcessInfo& info = *it->second;
    if (info.RefreshValues(reader, microsPerTick) != ProcessInfo::Refresh::Read) {
      // Exited, or its pid now belongs to another process: the next
      // enumeration considers whatever runs under that pid afresh.
      rejected_.erase(it->first);
      it = processes_.erase(it);
      continue;
    }
    ++counts.total;
    const char state = info.GetState();
    switch (state) {
      case 'R': ++counts.running; break;
      case 'S': ++counts.sleeping; break;
      case 'D': ++counts.blocked; break;
      // 't': stopped by its tracer, which kernels before 2.6.33 wrote as 'T'.
      case 'T': case 't': ++counts.stopped; break;
      case 'Z': ++counts.zombie; break;
      default:
        KLOG(logger_, WARNING, "Unknown process status detected: '%1'",
             std::string_view(&state, state ? 1 : 0));
        break;
    }
    ++it;
  }
  return counts;
}

}  // namespace Providers
}  // namespace Stats
