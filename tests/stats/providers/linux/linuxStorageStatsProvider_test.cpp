#include "stats/providers/linux/linuxStorageStatsProviderImpl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <thread>

#include "../providerTestUtil.h"

namespace Stats {
namespace Providers {
namespace {

using Testing::Values;
using Visit = int (*)(const char*, const struct stat*, int, struct FTW*);

using Testing::Lines;
using Testing::LogTo;

int64_t SizeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_size;
}

// A tree readable by everyone except locked/: files of 10 and 1000 bytes, a
// nested directory, a symbolic link, a second name of the 1000-byte file
// (counted once, as du does), and 5 bytes inside locked/ (whose own size is
// counted without the right to read it, as du does).
struct Tree : Testing::TempDir {
  Tree() {
    ::chmod(Path().c_str(), 0755);
    Write("a.txt", "0123456789");
    ::mkdir(Path("sub").c_str(), 0755);
    Write("sub/b.bin", std::string(1000, 'b'));
    EXPECT_EQ(::link(Path("sub/b.bin").c_str(), Path("b.also").c_str()), 0);
    ::symlink("a.txt", Path("link").c_str());
    ::mkdir(Path("locked").c_str(), 0700);
    Write("locked/c.txt", "12345");
  }
  int64_t Readable() const { return SizeOf(Path()) + 10 + SizeOf(Path("sub")) + 1000 + SizeOf(Path("locked")); }
  int64_t All() const { return Readable() + 5; }
};

/// MountTmpfs mounts a 1 MiB tmpfs at path in a mount namespace of the
/// process's own.
bool MountTmpfs(const std::string& path) {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m") == 0;
}

struct Storage {
  Storage(std::vector<std::string> fileSystems, std::vector<std::string> directories, DirWalkFn walk = {})
      : provider(Kestrix::MakeRef<LinuxStorageStatsProvider>(fileSystems, directories, StatAttributeMapperRef(),
                                                             std::move(walk))) {
    provider->RegisterStats(registry.registry);
  }
  ~Storage() { provider->UnregisterStats(); }
  Values Get(const std::string& label, const std::string& path = "*") {
    Testing::RecordingResult result;
    provider->GetLinuxStorageStatValues({MakeStatInstance(registry.Id(label), {path})}, result);
    return result.ByInstance();
  }
  /// DirectoryInChild walks in a forked child after prepare succeeds; returns the one size, -1 when
  /// prepare failed, or -2 when the walk reported none or several.
  template <class Prepare>
  int64_t DirectoryInChild(Prepare prepare) {
    return InChild([&]() -> int64_t {
      if (!prepare()) return -1;
      const Values v = Get("storage.totalsize.D.directory");
      return v.size() == 1 ? v.begin()->second : -2;
    });
  }
  /// InChild returns what body returns in a forked child.
  template <class Body>
  int64_t InChild(Body body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      const int64_t value = body();
      (void)!::write(fds[1], &value, sizeof(value));
      ::_exit(0);
    }
    ::close(fds[1]);
    int64_t value = -1;
    EXPECT_EQ(::read(fds[0], &value, sizeof(value)), static_cast<ssize_t>(sizeof(value)));
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    return value;
  }
  Testing::Registry registry;
  LinuxStorageStatsProviderRef provider;
};

TEST(LinuxStorageStatsProviderTest, RegistersThreeAndFileSystemSizesEqualTheSystemCall) {
  FileSystemSizes sizes;
  ASSERT_TRUE(FileSystemSizes::From(4096, 1000000, 250000, sizes));
  EXPECT_EQ(sizes.total, 4096000000u);
  EXPECT_EQ(sizes.used, 3072000000u);
  EXPECT_FALSE(FileSystemSizes::From(4096, 10, 11, sizes));
  EXPECT_FALSE(FileSystemSizes::From(uint64_t{1} << 40, uint64_t{1} << 30, 0, sizes));

  Storage s({"/", "/dev/shm", "/", "/nonexistent-path"}, {});
  EXPECT_EQ(s.registry.Registered(),
            (std::vector<std::string>{
                "Registered stat: registryId=0/providerId=0/label='storage.totalsize.D.filesystem' : "
                "0->storage.totalsize(mountpoint|*:D.filesystem)",
                "Registered stat: registryId=1/providerId=1/label='storage.used.D.filesystem' : "
                "1->storage.used(mountpoint|*:D.filesystem)",
                "Registered stat: registryId=2/providerId=2/label='storage.totalsize.D.directory' : "
                "2->storage.totalsize(path|*:D.directory)"}));
  struct statvfs root, shm;
  ASSERT_EQ(::statvfs("/", &root), 0);
  ASSERT_EQ(::statvfs("/dev/shm", &shm), 0);
  // Failed measurements report nothing; the same path twice is one instance.
  EXPECT_EQ(s.Get("storage.totalsize.D.filesystem", "/"),
            (Values{{"/", static_cast<int64_t>(root.f_frsize * root.f_blocks)},
                    {"/dev/shm", static_cast<int64_t>(shm.f_frsize * shm.f_blocks)}}));
  const Values used = s.Get("storage.used.D.filesystem");
  EXPECT_EQ(used.size(), 2u);
  EXPECT_GT(used.at("/"), 0);
}

TEST(LinuxStorageStatsProviderTest, DirectoryTreeSize) {
  Tree tree;
  Storage s({}, {tree.Path(), "/nonexistent-path"});
  EXPECT_EQ(s.Get("storage.totalsize.D.directory"), (Values{{tree.Path(), tree.All()}}));
  Values other;  // a second walk on another thread uses that thread's own context
  std::thread([&] { other = s.Get("storage.totalsize.D.directory"); }).join();
  EXPECT_EQ(other, (Values{{tree.Path(), tree.All()}}));
  // A configured path that is a symbolic link measures the tree behind it; a dangling one measures nothing.
  Testing::TempDir elsewhere;
  const std::string via = elsewhere.Path("via"), dangling = elsewhere.Path("dangling");
  ASSERT_EQ(::symlink(tree.Path().c_str(), via.c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.Path("gone").c_str(), dangling.c_str()), 0);
  Storage linked({}, {via, via + "/", dangling});
  EXPECT_EQ(linked.Get("storage.totalsize.D.directory"), (Values{{via, tree.All()}, {via + "/", tree.All()}}));
  Testing::RecordingResult unknown;
  s.provider->GetLinuxStorageStatValues({MakeStatInstance(77, {"*"})}, unknown);
  EXPECT_TRUE(unknown.values.empty());
  // Without the right to read locked/ (as nobody, or as its owner once its
  // mode is 0), it adds nothing, and the first of two walks says so.
  const std::string log = s.registry.dir.Path("walk.log");
  const bool root = ::geteuid() == 0;
  EXPECT_EQ(s.DirectoryInChild([&] {
    return LogTo(log) &&
           (root ? ::setgid(65534) == 0 && ::setuid(65534) == 0 : ::chmod(tree.Path("locked").c_str(), 0) == 0) &&
           !s.Get("storage.totalsize.D.directory").empty();
  }),
            tree.Readable());
  ::chmod(tree.Path("locked").c_str(), 0700);  // for the clean-up
  EXPECT_EQ(Lines(log, "Size of " + tree.Path() + " leaves out 1 entries that could not be read"), 1u);
}

TEST(LinuxStorageStatsProviderTest, BindMountOfAnAncestorIsNotEnteredAgain) {
  Tree tree;
  const std::string loop = tree.Path("sub/loop");
  ::mkdir(loop.c_str(), 0755);  // the tree below itself: a walk that enters it counts it twice
  Storage s({}, {tree.Path()});
  const int64_t got = s.DirectoryInChild([&] {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(tree.Path().c_str(), loop.c_str(), nullptr, MS_BIND, nullptr) == 0;
  });
  if (got == -1) GTEST_SKIP() << "cannot bind-mount in a private mount namespace here";
  EXPECT_EQ(got, tree.All());
}

// Sparse files on a tmpfs can claim up to 8 EiB each: a tree whose sizes add
// up past what a value holds stores nothing, and says why, rather than a sum
// that wrapped around to a few bytes. The tree above adds neither the mount
// nor its mount point.
TEST(LinuxStorageStatsProviderTest, TreeOfMoreThanEightExbibytesIsNotStored) {
  Tree tree;
  const std::string mnt = tree.Path("mnt");
  ::mkdir(mnt.c_str(), 0755);
  Storage s({}, {tree.Path(), mnt});
  const std::string log = s.registry.dir.Path("huge.log");
  const int64_t got = s.DirectoryInChild([&] {
    if (!LogTo(log) || !MountTmpfs(mnt)) return false;
    for (const char* name : {"/a", "/b"}) {
      const int fd = ::open((mnt + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      const bool sized = fd >= 0 && ::ftruncate(fd, INT64_MAX) == 0;
      if (fd >= 0) ::close(fd);
      if (!sized) return false;
    }
    return true;
  });
  if (got == -1) GTEST_SKIP() << "cannot make 8 EiB sparse files on a tmpfs in a private mount namespace here";
  EXPECT_EQ(got, tree.All()) << "the tree is reported, the tmpfs mounted below it is not";
  EXPECT_EQ(Lines(log, "Size of " + mnt + " is not stored: its files add up to more than 8 EiB"), 1u);
}

// RemoveUnvisited wraps a walk's callback: when nftw enters the first
// subdirectory of the start, having listed the start's other entries (its one
// descriptor must serve the subdirectory), it removes those not visited yet.
// With two subdirectories in the start, one at least is removed so.
struct RemoveUnvisited {
  static int Walk(const char* root, Providers::Visit wrapped, int fds, int flags) {
    visit = wrapped;
    visited.clear();
    removed = 0;
    return ::nftw(root, Visit, fds, flags);
  }
  static int Visit(const char* path, const struct stat* st, int type, struct FTW* ftw) {
    const int result = visit(path, st, type, ftw);  // first: it reads nftw's errno
    visited.insert(path);
    if (type == FTW_D && ftw->level == 1 && removed == 0) {
      for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
        if (visited.count(entry.path().string()) == 0) removed += std::filesystem::remove_all(entry.path()) > 0;
    }
    return result;
  }
  static inline Providers::Visit visit = nullptr;
  static inline std::set<std::string> visited;
  static inline size_t removed = 0;
};

// A tree that changes while it is walked. nftw fails a whole walk with ENOENT
// when a subdirectory is removed between its listing and its opening (with
// ENOTDIR when a file took its place): the
// tree is walked again, and a pass is lost, and logged, only when three walks
// in a row fail so. An object removed after its directory was listed is gone
// from the tree, not an entry that could not be read.
TEST(LinuxStorageStatsProviderTest, TreeThatChangesDuringTheWalk) {
  Tree tree;
  Testing::Logged logged;
  int failures = 2;
  Storage s({}, {tree.Path()}, [&](const char* root, Visit visit, int fds, int flags) {
    if (failures-- > 0) {
      errno = failures == 1 ? ENOTDIR : ENOENT;
      return -1;
    }
    return RemoveUnvisited::Walk(root, visit, fds, flags);
  });
  EXPECT_EQ(s.Get("storage.totalsize.D.directory").size(), 1u);
  ASSERT_GT(RemoveUnvisited::removed, 0u);
  failures = 3;
  EXPECT_EQ(s.Get("storage.totalsize.D.directory"), Values{});
  EXPECT_EQ(logged.Lines("nftw(" + tree.Path() + ") failed with errno 2"), 1u);
  EXPECT_EQ(logged.Lines("leaves out"), 0u);
}

// After an unmount, statvfs of the mount point measures the file system it
// sits on (as df does): the series goes on with those sizes, and the change
// is logged once, neither at the first measurement nor while it stays.
TEST(LinuxStorageStatsProviderTest, FileSystemThatChangesUnderThePathIsLoggedOnce) {
  Tree tree;
  const std::string mnt = tree.Path("mnt");
  ::mkdir(mnt.c_str(), 0755);
  Storage s({mnt}, {});
  const std::string log = s.registry.dir.Path("mount.log");
  const auto total = [&] { return s.Get("storage.totalsize.D.filesystem")[mnt]; };
  const int64_t got = s.InChild([&]() -> int64_t {
    if (!LogTo(log) || !MountTmpfs(mnt)) return -1;
    const int64_t mounted = total();
    total();
    if (::umount(mnt.c_str()) != 0) return -1;
    total();
    return mounted == 1 << 20 ? total() : -2;
  });
  if (got == -1) GTEST_SKIP() << "cannot mount and unmount a tmpfs in a private mount namespace here";
  struct statvfs below;
  ASSERT_EQ(::statvfs(tree.Path().c_str(), &below), 0);
  EXPECT_EQ(got, static_cast<int64_t>(below.f_frsize * below.f_blocks));
  EXPECT_EQ(Lines(log, "File system at " + mnt + " changed"), 1u);
}

}  // namespace
}  // namespace Providers
}  // namespace Stats
