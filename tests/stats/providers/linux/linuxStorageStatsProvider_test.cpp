#include "stats/providers/linux/linuxStorageStatsProviderImpl.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "../providerTestUtil.h"

namespace Stats {
namespace Providers {
namespace {

using Testing::RecordingResult;
using Values = std::map<std::string, int64_t>;

int64_t SizeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_size;
}

// A tree readable by everyone except locked/: files of 10 and 1000 bytes, a
// nested directory, a symbolic link, and 5 bytes inside locked/.
struct Tree {
  Tree() {
    ::chmod(dir.Path().c_str(), 0755);
    std::ofstream(Path("a.txt")) << "0123456789";
    ::mkdir(Path("sub").c_str(), 0755);
    std::ofstream(Path("sub/b.bin")) << std::string(1000, 'b');
    ::symlink("a.txt", Path("link").c_str());
    ::mkdir(Path("locked").c_str(), 0700);
    std::ofstream(Path("locked/c.txt")) << "12345";
  }
  std::string Path(const std::string& name) const { return dir.Path() + "/" + name; }
  int64_t Readable() const { return SizeOf(dir.Path()) + 10 + SizeOf(Path("sub")) + 1000; }
  Testing::TempDir dir;
};

struct Storage {
  Storage(std::vector<std::string> fileSystems, std::vector<std::string> directories)
      : provider(Kestrix::MakeRef<LinuxStorageStatsProvider>(fileSystems, directories, StatAttributeMapperRef())) {
    provider->RegisterStats(registry.registry);
  }
  ~Storage() { provider->UnregisterStats(); }
  Values Get(const std::string& label, const std::string& path = "*") {
    RecordingResult result;
    provider->GetLinuxStorageStatValues({MakeStatInstance(registry.Id(label), {path})}, result);
    return result.ByInstance();
  }
  // InChild runs Get in a forked child (after prepare) and returns its one value, or -1.
  template <class Prepare>
  int64_t InChild(const std::string& label, Prepare prepare) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      int64_t value = prepare() ? -2 : -1;
      if (value == -2) {
        const Values v = Get(label);
        value = v.size() == 1 ? v.begin()->second : -1;
      }
      (void)!::write(fds[1], &value, sizeof(value));
      ::_exit(0);
    }
    ::close(fds[1]);
    int64_t value = -1;
    EXPECT_EQ(::read(fds[0], &value, sizeof(value)), static_cast<ssize_t>(sizeof(value)));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return value;
  }
  Testing::Registry registry;
  LinuxStorageStatsProviderRef provider;
};

TEST(LinuxStorageStatsProviderTest, RegistersThreeStatistics) {
  Storage s({"/"}, {});
  EXPECT_EQ(s.registry.Registered(),
            (std::vector<std::string>{
                "Registered stat: registryId=0/providerId=0/label='storage.totalsize.D.filesystem' : "
                "0->storage.totalsize(mountpoint|*:D.filesystem)",
                "Registered stat: registryId=1/providerId=1/label='storage.used.D.filesystem' : "
                "1->storage.used(mountpoint|*:D.filesystem)",
                "Registered stat: registryId=2/providerId=2/label='storage.totalsize.D.directory' : "
                "2->storage.totalsize(path|*:D.directory)"}));
}

TEST(LinuxStorageStatsProviderTest, FileSystemSizesFromBlocks) {
  FileSystemSizes sizes;
  ASSERT_TRUE(FileSystemSizes::From(4096, 1000000, 250000, sizes));
  EXPECT_EQ(sizes.total, 4096000000u);
  EXPECT_EQ(sizes.used, 3072000000u);
  EXPECT_FALSE(FileSystemSizes::From(4096, 10, 11, sizes));
  EXPECT_FALSE(FileSystemSizes::From(uint64_t{1} << 40, uint64_t{1} << 30, 0, sizes));
}

TEST(LinuxStorageStatsProviderTest, FileSystemTotalsEqualTheSystemCall) {
  Storage s({"/", "/dev/shm", "/", "/nonexistent-path"}, {});
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
  Storage s({}, {tree.dir.Path(), "/nonexistent-path"});
  const int64_t all = tree.Readable() + SizeOf(tree.Path("locked")) + 5;
  EXPECT_EQ(s.Get("storage.totalsize.D.directory"), (Values{{tree.dir.Path(), all}}));
  // A second walk on another thread uses that thread's own context.
  Values other;
  std::thread([&] { other = s.Get("storage.totalsize.D.directory"); }).join();
  EXPECT_EQ(other, (Values{{tree.dir.Path(), all}}));

  RecordingResult result;
  s.provider->GetLinuxStorageStatValues({MakeStatInstance(77, {"*"})}, result);
  EXPECT_TRUE(result.values.empty());
}

TEST(LinuxStorageStatsProviderTest, UnreadableDirectoryAddsNothing) {
  Tree tree;
  Storage s({}, {tree.dir.Path()});
  const int64_t got = s.InChild("storage.totalsize.D.directory", [] {
    return ::setgid(65534) == 0 && ::setuid(65534) == 0;  // drop root for real
  });
  EXPECT_EQ(got, tree.Readable());
}

TEST(LinuxStorageStatsProviderTest, MountPointBelowThePathAddsNothing) {
  Tree tree;
  ::mkdir(tree.Path("mnt").c_str(), 0755);
  Storage s({}, {tree.dir.Path()});
  const std::string mnt = tree.Path("mnt");
  const int64_t got = s.InChild("storage.totalsize.D.directory", [&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
      return false;
    std::ofstream(mnt + "/inside") << std::string(4000, 'x');
    return true;
  });
  if (got == -1) GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
  EXPECT_EQ(got, tree.Readable() + SizeOf(tree.Path("locked")) + 5);
}

}  // namespace
}  // namespace Providers
}  // namespace Stats
