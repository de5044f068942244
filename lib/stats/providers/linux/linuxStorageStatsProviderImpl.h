// LinuxStorageStatsProvider: total and used size of configured file systems
// (statvfs) and total size of configured directory trees (a physical walk with
// nftw that stays on the tree's file system; a configured path that is a
// symbolic link is followed to its target first), measured afresh on every
// request.
//
// The service constructs one with the paths of its configuration and samples
// it on its own, long period: a directory walk visits every object below the
// path. A measurement that fails is logged and reports nothing for that path
// in that request, so no stale or zero size is stored as if measured. Not
// reentrant for one provider; walks on different threads do not interfere.
#pragma once

#include <ftw.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "public/stats/statsProvider.h"

namespace Stats {
namespace Providers {

/// FileSystemSizes is the size of a file system and the bytes in use, from
/// statvfs's fragment size, total blocks and free blocks (free includes the
/// blocks reserved for the superuser, so used counts only blocks in use).
struct FileSystemSizes {
  uint64_t total = 0;
  uint64_t used = 0;
  /// From computes the sizes; false when a product overflows or free > total.
  static bool From(uint64_t fragmentSize, uint64_t blocks, uint64_t freeBlocks, FileSystemSizes& out);
};

/// DirWalkFn walks the tree at root as nftw does: same arguments, result and
/// errno.
using DirWalkFn = std::function<int(const char* root, int (*visit)(const char*, const struct stat*, int, struct FTW*),
                                    int openFds, int flags)>;

class LinuxStorageStatsProvider : public StatsProviderBase, public virtual StatAttributeMapper {
public:
  /// DirWalkContext holds the running total of one directory walk. One lives
  /// in the thread-local storage of each thread that has walked a directory:
  /// nftw's callback takes no user argument.
  class DirWalkContext : public Kestrix::ObjectImpl {
  public:
    uint64_t total = 0;
    /// Inodes of the files with more than one link counted so far in this
    /// walk: a file is counted once however many names it has, as du does.
    /// The walk stays on one file system, so the inode number identifies it.
    std::unordered_set<uint64_t> linked;
    /// Directories that could not be read and objects without status in
    /// this walk (other than those removed during it): what the size leaves
    /// out.
    uint64_t unreadable = 0;
    /// Device and inode of each directory from the start down to the one
    /// being walked, by depth.
    std::vector<std::pair<uint64_t, uint64_t>> ancestors;
    /// Begin empties the context for a walk.
    void Begin();
  };

  /// A path listed twice yields one entry. chained may be empty. walk walks
  /// a directory tree (nftw when empty).
  LinuxStorageStatsProvider(const std::vector<std::string>& fileSystems,
                            const std::vector<std::string>& directories, StatAttributeMapperRef chained,
                            DirWalkFn walk = {});
  ~LinuxStorageStatsProvider() override;

  // StatsProvider
  /// RegisterStats registers storage.totalsize and storage.used per file
  /// system and storage.totalsize per directory with registry (the default
  /// registry when empty).
  void RegisterStats(const StatsRegistryRef& registry) override;

  // StatAttributeMapper
  /// MapAttributes describes nothing itself; requests other than a process
  /// attribute with selector 0 go to the chained mapper.
  void MapAttributes(const std::vector<StatAttribute>& attributes, const AttributeValues& values,
                     uint64_t selector, std::vector<std::string>& out) override;

  /// GetLinuxStorageStatValues measures every configured path, then reports,
  /// for each requested statistic, every path measured in this call.
  void GetLinuxStorageStatValues(const StatInstanceList& instances, StatsResult& result);

private:
  struct FileSystemEntry {
    AttributeValues attributeValues;  // the path
    FileSystemSizes sizes;
    bool measured = false;            // in the current request
    std::optional<uint64_t> device;   // of the path at its last measurement
  };
  struct DirectoryEntry {
    AttributeValues attributeValues;
    uint64_t total = 0;
    bool measured = false;
    bool incomplete = false;  // the last walk left entries out (warned once)
    bool oversized = false;   // the last walk summed more than a value holds (warned once)
  };

  void MeasureFileSystems();
  void MeasureDirectories();
  /// Walk sums the tree at root into context: 0, or the errno of the walk
  /// that failed.
  int Walk(const char* root, DirWalkContext& context) const;

  const StatAttributeMapperRef chained_;
  const DirWalkFn walk_;
  std::map<int64_t, int64_t> registryToLocal_;
  StatDefRef fileSystemDefs_[2];  // storage.totalsize, storage.used
  StatDefRef directoryDef_;       // storage.totalsize
  const std::vector<std::string> fileSystemPaths_;  // measured in configuration order
  const std::vector<std::string> directoryPaths_;
  std::map<std::string, FileSystemEntry> fileSystems_;  // reported in path order
  std::map<std::string, DirectoryEntry> directories_;
};
using LinuxStorageStatsProviderRef = Kestrix::Ref<LinuxStorageStatsProvider>;

}  // namespace Providers
}  // namespace Stats
