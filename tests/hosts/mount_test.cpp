// The FUSE host over the reference companion, exercised with real tools.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <atomic>
#include <thread>

#include "hosts/mount_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

TEST_F(MountTest, CopiedTreesArriveInTheStoreByteForByte) {
  fs::path source = temp_.path() / "source";
  fs::create_directories(source / "a" / "b");
  put(source / "top.bin", binaryBytes(300'000, 1));
  put(source / "a" / "one.txt", "one\n");
  put(source / "a" / "b" / "empty", "");
  put(source / "a" / "b" / "two.bin", binaryBytes(70'000, 2));
  auto copy = shell("cp -r " + source.string() + " " + in("tree").string());
  ASSERT_EQ(copy.status, 0) << copy.err;
  ASSERT_TRUE(landed());
  EXPECT_EQ(shell("diff -r " + source.string() + " " + (store() / "tree").string()).status, 0);
  EXPECT_EQ(shell("diff -r " + source.string() + " " + in("tree").string()).status, 0);
}

TEST_F(MountTest, EditsMovesAndRemovalsReachTheStore) {
  put(in("f.txt"), "0123456789");
  ASSERT_EQ(::truncate(in("f.txt").c_str(), 4), 0);
  ASSERT_TRUE(landed());
  EXPECT_EQ(readWholeFile(store() / "f.txt"), "0123");
  std::ofstream(in("f.txt"), std::ios::app) << "XY";
  ASSERT_TRUE(landed());
  EXPECT_EQ(readWholeFile(store() / "f.txt"), "0123XY");
  {
    std::fstream f(in("f.txt"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1);
    f << "ab";
  }
  ASSERT_TRUE(landed());
  EXPECT_EQ(readWholeFile(store() / "f.txt"), "0ab3XY");
  EXPECT_EQ(fs::file_size(in("f.txt")), 6u);

  ASSERT_EQ(shell("mkdir -p " + in("x/y/z").string()).status, 0);
  put(in("x/doc.txt"), "first");
  ASSERT_EQ(shell("mv " + in("x/doc.txt").string() + " " + in("x/y/moved.txt").string()).status, 0);
  ASSERT_TRUE(landed());
  EXPECT_EQ(readWholeFile(store() / "x/y/moved.txt"), "first");
  EXPECT_FALSE(fs::exists(store() / "x/doc.txt"));

  // An editor's save: write a temporary file, then rename it over the original.
  put(in("x/y/.moved.txt.swp"), "second");
  ASSERT_EQ(std::rename(in("x/y/.moved.txt.swp").c_str(), in("x/y/moved.txt").c_str()), 0)
      << std::strerror(errno);
  ASSERT_TRUE(landed());
  EXPECT_EQ(readWholeFile(store() / "x/y/moved.txt"), "second");
  EXPECT_FALSE(fs::exists(store() / "x/y/.moved.txt.swp"));
  EXPECT_EQ(readWholeFile(in("x/y/moved.txt")), "second");

  ASSERT_EQ(shell("rm -r " + in("x").string()).status, 0);
  ASSERT_TRUE(landed());
  EXPECT_FALSE(fs::exists(store() / "x"));
  EXPECT_FALSE(fs::exists(in("x")));
  EXPECT_NE(::rmdir(in("nothing").c_str()), 0);

  // A file removed while still open for writing: its later writes and close upload nothing.
  int fd = ::open(in("scratch.tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::write(fd, "abc", 3), 3);
  ASSERT_EQ(::unlink(in("scratch.tmp").c_str()), 0) << std::strerror(errno);
  EXPECT_EQ(::write(fd, "def", 3), 3);
  EXPECT_EQ(::close(fd), 0);
  ASSERT_TRUE(landed());
  EXPECT_FALSE(fs::exists(store() / "scratch.tmp"));
  EXPECT_NE(status().find("no uploads pending"), std::string::npos) << status();
}

TEST_F(MountTest, ChangesInTheStoreShowUpAfterAPollAndReadWhole) {
  EXPECT_FALSE(fs::exists(in("outside.txt")));
  put(store() / "outside.txt", "from outside");
  EXPECT_TRUE(eventually([&] { return readWholeFile(in("outside.txt")) == "from outside"; }));
  put(store() / "outside.txt", "changed outside");
  EXPECT_TRUE(eventually([&] { return readWholeFile(in("outside.txt")) == "changed outside"; }));
  fs::remove(store() / "outside.txt");
  EXPECT_TRUE(eventually([&] { return !fs::exists(in("outside.txt")); }));

  auto bytes = binaryBytes(4'000'000, 3);
  // Into place whole, so the companion never lists a half-written file.
  put(store() / ".shared.bin.part", bytes);
  fs::rename(store() / ".shared.bin.part", store() / "shared.bin");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("shared.bin")); }));
  std::atomic<int> whole{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i)
    readers.emplace_back([&] {
      if (readWholeFile(in("shared.bin")) == bytes) ++whole;
    });
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(whole.load(), 8) << "concurrent readers of a file that appeared after a poll";
}

// Edits the companion cannot take yet are kept, private to this user, and readable in the mount.
// They arrive once it is back: while still mounted (as a new file where the original went away
// meanwhile), and after an unmount, at the next mount.
TEST_F(MountTest, UploadsWaitOutACompanionThatIsDown) {
  for (const char* name : {"kept.txt", "gone.txt"}) put(in(name), "before");
  ASSERT_TRUE(landed());
  ASSERT_EQ(readWholeFile(store() / "gone.txt"), "before");
  companion_.reset();
  for (const char* name : {"kept.txt", "gone.txt"}) put(in(name), "while down");
  EXPECT_EQ(readWholeFile(in("kept.txt")), "while down");
  EXPECT_NE(status().find("kept.txt"), std::string::npos);
  for (const char* dir : {"", "/outbox", "/fetched"})
    EXPECT_EQ(fs::status(temp_.path() / "state/quorvelle/default/mount/g" += dir).permissions(),
              fs::perms::owner_all)
        << dir;
  fs::remove(store() / "gone.txt");
  startCompanion();
  EXPECT_TRUE(storeEventuallyHolds("kept.txt", "while down"));
  EXPECT_TRUE(storeEventuallyHolds("gone.txt", "while down"));
  EXPECT_TRUE(eventually([&] { return status().find("no uploads pending") != std::string::npos; }));

  companion_.reset();
  put(in("kept.txt"), "before unmount");
  unmount();
  EXPECT_NE(status().find("kept.txt"), std::string::npos);
  EXPECT_EQ(readWholeFile(store() / "kept.txt"), "while down");
  startCompanion();
  mount();
  EXPECT_TRUE(storeEventuallyHolds("kept.txt", "before unmount"));
}

// git leans on everything at once: lock files renamed over their targets, many small files.
TEST_F(MountTest, GitClonesAndCommitsInsideTheMount) {
  if (!fs::exists("/usr/bin/git")) GTEST_SKIP() << "git is not installed";
  fs::path origin = temp_.path() / "origin";
  auto git = [&](const std::string& where, const std::string& args) {
    return shell("git -C " + where + " -c user.name=t -c user.email=t@t " + args);
  };
  ASSERT_EQ(shell("git init -q " + origin.string()).status, 0);
  put(origin / "a.txt", "one\n");
  ASSERT_EQ(git(origin.string(), "add a.txt").status, 0);
  ASSERT_EQ(git(origin.string(), "commit -qm first").status, 0);
  auto clone = shell("git clone -q " + origin.string() + " " + in("repo").string());
  ASSERT_EQ(clone.status, 0) << clone.err;
  put(in("repo/a.txt"), "two\n");
  auto commit = git(in("repo").string(), "commit -qam second");
  ASSERT_EQ(commit.status, 0) << commit.err;
  ASSERT_TRUE(landed());
  auto log = git((store() / "repo").string(), "log --format=%s");
  EXPECT_EQ(log.out, "second\nfirst\n") << log.err;
  EXPECT_EQ(git((store() / "repo").string(), "fsck --strict").status, 0);
}

// The kernel sizes reads by the attributes it was given; contents fetched at open time that are
// longer than those must still read whole, without waiting for a poll.
TEST_F(MountTest, AFileThatGrewSinceItWasListedReadsWhole) {
  auto companionLists = [&](const std::string& text) {
    return eventually([&] {
      return qdrive({"--json", "ls", "@root"}).find(text) != std::string::npos;
    });
  };
  put(store() / "grown.txt", "small");
  ASSERT_TRUE(companionLists(R"("documentSize":5)"));
  unmount();
  mount("600");
  ASSERT_EQ(fs::file_size(in("grown.txt")), 5u);
  auto bytes = binaryBytes(100'000, 4);
  put(store() / ".grown.part", bytes);
  fs::rename(store() / ".grown.part", store() / "grown.txt");
  ASSERT_TRUE(companionLists(R"("documentSize":100000)"));
  EXPECT_EQ(readWholeFile(in("grown.txt")).size(), bytes.size());
  EXPECT_EQ(fs::file_size(in("grown.txt")), bytes.size());
}

// 31 folders of 128-byte names, then a 110-byte file: legal in the mount, since each call names
// one level, however long the mountpoint's and the store's own paths are.
TEST_F(MountTest, ATreeDeeperThanAPathReachesTheStore) {
  std::vector<std::string> names;
  for (char level = 0; level < 31; ++level) names.push_back(std::string(128, 'a' + level));
  auto descend = [&](const fs::path& root, bool make) {
    companion::UniqueFd at(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const auto& name : names) {
      if (make) {
        EXPECT_EQ(::mkdirat(at.get(), name.c_str(), 0755), 0) << std::strerror(errno);
      }
      at = companion::UniqueFd(::openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
    }
    return at;
  };
  auto deepest = descend(mountpoint(), true);
  int fd = ::openat(deepest.get(), std::string(110, 'f').c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::write(fd, "deep", 4), 4);
  ASSERT_EQ(::close(fd), 0) << std::strerror(errno);
  ASSERT_TRUE(landed());
  companion::UniqueFd stored(
      ::openat(descend(store(), false).get(), std::string(110, 'f').c_str(), O_RDONLY));
  char bytes[8] = {};
  EXPECT_EQ(::read(stored.get(), bytes, sizeof bytes), 4);
  EXPECT_STREQ(bytes, "deep");
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
