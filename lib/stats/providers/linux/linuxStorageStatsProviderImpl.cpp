#include "stats/providers/linux/linuxStorageStatsProviderImpl.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "kestrix/exception.h"
#include "kestrix/thread.h"

namespace Stats {
namespace Providers {
namespace {

using DirWalkContext = LinuxStorageStatsProvider::DirWalkContext;

// The per-thread slot of the walk context, reserved once for the process.
Kestrix::System::TlsKey WalkKey() {
  static const Kestrix::System::TlsKey key = Kestrix::System::ReserveTlsKey();
  return key;
}

DirWalkContext& ThisThreadsContext() {
  Kestrix::System::Thread& thread = Kestrix::System::GetThisThread();
  Kestrix::Ref<DirWalkContext> context = Kestrix::RefCast<DirWalkContext>(thread.GetValue(WalkKey()));
  if (!context) {
    context = Kestrix::MakeRef<DirWalkContext>();
    thread.SetValue(WalkKey(), context);
  }
  return *context;  // the thread's slot keeps it alive
}

// AddSize counts regular files and directories (the start included), a file
// with several names once, and, as du does, the size of a directory it may
// not read. Symbolic links and objects without status add nothing. A
// directory that is one of its own ancestors (an ancestor bind-mounted below
// itself: same device, same inode) is not entered again. An object removed
// after its directory was listed (nftw leaves the errno of its failed stat or
// opendir) is no longer part of the tree, so not one that could not be read.
int AddSize(const char*, const struct stat* st, int type, struct FTW* ftw) {
  const int error = errno;
  DirWalkContext& context = ThisThreadsContext();
  if ((type == FTW_DNR || type == FTW_NS) && error != ENOENT) ++context.unreadable;
  if (type != FTW_F && type != FTW_D && type != FTW_DNR) return FTW_CONTINUE;
  if (type == FTW_D) {
    const std::pair<uint64_t, uint64_t> id{static_cast<uint64_t>(st->st_dev), static_cast<uint64_t>(st->st_ino)};
    auto& ancestors = context.ancestors;
    ancestors.resize(static_cast<size_t>(ftw->level));
    if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) return FTW_SKIP_SUBTREE;
    ancestors.push_back(id);
  }
  if (type == FTW_F && st->st_nlink > 1 && !context.linked.insert(static_cast<uint64_t>(st->st_ino)).second) {
    return FTW_CONTINUE;
  }
  // Sparse files can claim exbibytes: a sum past 64 bits stays at the
  // largest value, which is not reported, instead of wrapping to a small one.
  if (__builtin_add_overflow(context.total, static_cast<uint64_t>(st->st_size), &context.total))
    context.total = UINT64_MAX;
  return FTW_CONTINUE;
}

StatDefRef StorageDef(int64_t providerId, const char* name, const char* attribute, const char* typeName) {
  return StatDef::Source(providerId, name, {StatAttribute{attribute, 0, typeName, true}}, 0, 1, 4,
                         static_cast<uint32_t>(StatTransform::Raw), static_cast<uint32_t>(StatCooking::None),
                         StatValue(1, 1024));
}

bool Reportable(uint64_t value) { return value <= static_cast<uint64_t>(INT64_MAX); }

}  // namespace

void LinuxStorageStatsProvider::DirWalkContext::Begin() {
  total = 0;
  unreadable = 0;
  linked.clear();
  ancestors.clear();
}

bool FileSystemSizes::From(uint64_t fragmentSize, uint64_t blocks, uint64_t freeBlocks, FileSystemSizes& out) {
  if (freeBlocks > blocks) return false;
  FileSystemSizes sizes;
  if (__builtin_mul_overflow(fragmentSize, blocks, &sizes.total) ||
      __builtin_mul_overflow(fragmentSize, blocks - freeBlocks, &sizes.used))
    return false;
  out = sizes;
  return true;
}

LinuxStorageStatsProvider::LinuxStorageStatsProvider(const std::vector<std::string>& fileSystems,
                                                     const std::vector<std::string>& directories,
                                                     StatAttributeMapperRef chained, DirWalkFn walk)
    : StatsProviderBase("LinuxStorage"),
      chained_(std::move(chained)),
      walk_(walk ? std::move(walk) : DirWalkFn(::nftw)),
      fileSystemPaths_(fileSystems),
      directoryPaths_(directories) {
  for (const auto& path : fileSystemPaths_) fileSystems_[path].attributeValues = {path};
  for (const auto& path : directoryPaths_) directories_[path].attributeValues = {path};
}

LinuxStorageStatsProvider::~LinuxStorageStatsProvider() = default;

// StatsProvider

void LinuxStorageStatsProvider::RegisterStats(const StatsRegistryRef& registry) {
  const StatsRegistryRef reg = registry ? registry : GetDefaultRegistry();
  if (!reg) {
    KLOG(GetLogger(), ERROR, "Unable to find default stats registry.");
    throw Kestrix::InvalidStateException("Unable to find default stats registry.");
  }
  fileSystemDefs_[0] = StorageDef(0, "storage.totalsize", "mountpoint", ".filesystem");
  fileSystemDefs_[1] = StorageDef(1, "storage.used", "mountpoint", ".filesystem");
  directoryDef_ = StorageDef(2, "storage.totalsize", "path", ".directory");
  const Kestrix::Ref<LinuxStorageStatsProvider> self(this);
  const GetStatValuesHandlerRef handler(new GetStatValuesHandlerImpl(
      Kestrix::MakeFunctor(self, &LinuxStorageStatsProvider::GetLinuxStorageStatValues),
      std::to_string(reinterpret_cast<uintptr_t>(static_cast<const void*>(this))) +
          "//GetLinuxStorageStatValues",
      StatsProviderRef(self)));
  RegisterWithRegistry(reg, {fileSystemDefs_[0], fileSystemDefs_[1], directoryDef_}, registryToLocal_, nullptr,
                       nullptr, handler);
  KLOG(GetLogger(), INFO, "Registered %1 stats", 3);
}

// StatAttributeMapper

void LinuxStorageStatsProvider::MapAttributes(const std::vector<StatAttribute>& attributes,
                                              const AttributeValues& values, uint64_t selector,
                                              std::vector<std::string>& out) {
  if (selector == 0 && attributes.size() == 1 && attributes[0].type == 20) return;
  if (chained_) chained_->MapAttributes(attributes, values, selector, out);
}

void LinuxStorageStatsProvider::GetLinuxStorageStatValues(const StatInstanceList& instances,
                                                          StatsResult& result) {
  MeasureFileSystems();
  MeasureDirectories();
  for (const auto& instance : instances) {
    const auto local = registryToLocal_.find(instance->GetStatId());
    if (local == registryToLocal_.end()) {
      KLOG(GetLogger(), ERROR, "Received request for unregistered stat registryStatId=%1", instance->GetStatId());
      continue;
    }
    // Every measured path is reported, whichever path the request names.
    const int64_t id = local->second;
    if (id == 0 || id == 1) {
      for (const auto& [path, entry] : fileSystems_) {
        const uint64_t size = id == 0 ? entry.sizes.total : entry.sizes.used;
        if (entry.measured && Reportable(size))
          result.AddValue(instance->GetStatId(), fileSystemDefs_[id], entry.attributeValues, static_cast<int64_t>(size));
      }
    } else if (id == 2) {
      for (const auto& [path, entry] : directories_) {
        if (entry.measured && Reportable(entry.total))
          result.AddValue(instance->GetStatId(), directoryDef_, entry.attributeValues, static_cast<int64_t>(entry.total));
      }
    }
  }
}

void LinuxStorageStatsProvider::MeasureFileSystems() {
  for (auto& [path, entry] : fileSystems_) entry.measured = false;
  for (const auto& path : fileSystemPaths_) {
    FileSystemEntry& entry = fileSystems_[path];
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) != 0) {
      const int error = errno;
      KLOG(GetLogger(), ERROR, "statvfs(%1) failed with errno %2", path, error);
      continue;
    }
    entry.measured = FileSystemSizes::From(st.f_frsize, st.f_blocks, st.f_bfree, entry.sizes);
    // After an unmount, statvfs of the mount point measures the file system
    // it sits on, as df does, and a mount there measures the new one: the
    // series goes on with another file system's sizes, so the operator is
    // told once, when the path's device differs from the last measurement's.
    struct stat where;
    if (::stat(path.c_str(), &where) != 0) continue;  // the device stays the last one known
    const uint64_t device = static_cast<uint64_t>(where.st_dev);
    if (entry.device && *entry.device != device)
      KLOG(GetLogger(), WARNING,
           "File system at %1 changed (a mount or unmount there): its sizes are now those of the file system "
           "that holds the path",
           path);
    entry.device = device;
  }
}

void LinuxStorageStatsProvider::MeasureDirectories() {
  for (auto& [path, entry] : directories_) entry.measured = false;
  DirWalkContext& context = ThisThreadsContext();
  for (const auto& path : directoryPaths_) {
    DirectoryEntry& entry = directories_[path];
    // The configured path itself is followed when it is or runs through a
    // symbolic link (as du -H does): the walk follows no link, so it would
    // meet the link alone and report 0 as the size of the tree behind it.
    const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) {
      const int error = errno;
      KLOG(GetLogger(), ERROR, "realpath(%1) failed with errno %2", path, error);
      continue;
    }
    if (const int error = Walk(resolved.get(), context); error != 0) {
      KLOG(GetLogger(), ERROR, "nftw(%1) failed with errno %2", path, error);
      continue;
    }
    entry.total = context.total;
    entry.measured = true;
    // The size stays what could be read; the operator learns why it is low
    // (a service without the right to read every subdirectory) once, not
    // every pass.
    if (context.unreadable != 0 && !entry.incomplete) {
      KLOG(GetLogger(), WARNING, "Size of %1 leaves out %2 entries that could not be read", path,
           context.unreadable);
    }
    entry.incomplete = context.unreadable != 0;
    const bool oversized = !Reportable(entry.total);
    if (oversized && !entry.oversized)
      KLOG(GetLogger(), WARNING, "Size of %1 is not stored: its files add up to more than 8 EiB", path);
    entry.oversized = oversized;
  }
  std::unordered_set<uint64_t>().swap(context.linked);  // a large tree's set is not kept between walks
}

// A subdirectory removed between its listing and its opening fails nftw's
// whole walk with ENOENT, one replaced by a file in that time with ENOTDIR.
// While the tree itself is still there it is walked again, a bounded number
// of times, so a tree that churns keeps its passes.
int LinuxStorageStatsProvider::Walk(const char* root, DirWalkContext& context) const {
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    context.Begin();
    // At most one open descriptor; links are not followed; the walk stays on
    // the path's file system; the callback steers the walk.
    if (walk_(root, AddSize, 1, FTW_PHYS | FTW_MOUNT | FTW_ACTIONRETVAL) == 0) return 0;
    const int error = errno;
    struct stat st;
    if ((error != ENOENT && error != ENOTDIR) || attempt == kAttempts || ::lstat(root, &st) != 0) return error;
  }
}

}  // namespace Providers
}  // namespace Stats
