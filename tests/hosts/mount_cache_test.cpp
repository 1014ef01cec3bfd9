// What the mount keeps of its drive, over the real companion: pending changes that belong to one
// drive only, contents kept across remounts and under a bound, pins, each file's status as an
// extended attribute, and a start with no companion at all.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <sys/xattr.h>

#include <atomic>
#include <set>
#include <thread>

#include "hosts/mount_fixture.h"
#include "support/tmpfs.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// An extended attribute's value, or the error getxattr gave.
std::string attribute(const fs::path& path, const char* name) {
  char value[512];
  ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? std::string("error: ") + std::strerror(errno)
               : std::string(value, static_cast<std::size_t>(n));
}

std::string fileStatus(const fs::path& path) {
  return attribute(path, "user.quorvelle.status");
}

// The errno of reading the first byte, 0 when it reads.
int readError(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char byte;
  int err = ::read(fd, &byte, 1) < 0 ? errno : 0;
  ::close(fd);
  return err;
}

std::string contentsOrError(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string("error: ") + std::strerror(errno);
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
  int err = n < 0 ? errno : 0;
  ::close(fd);
  return err ? std::string("error: ") + std::strerror(err) : bytes;
}

std::int64_t bytesIn(const fs::path& folder) {
  std::int64_t total = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    auto size = entry.file_size(ec);
    if (!ec) total += static_cast<std::int64_t>(size);
  }
  return total;
}

class CacheMountTest : public MountTest {
 protected:
  CacheMountTest() { relayed_ = true; }  // the relay counts what reaches the companion

  fs::path state() const { return temp_.path() / "state/quorvelle/default/mount/g"; }
  int fetches(const std::string& name = "") const { return relay_->count("read", name); }
  void remount() {
    unmount();
    relay_->forget();
    mount();
  }
  // Every file of `names` shows in the mount.
  bool shows(std::initializer_list<const char*> names) {
    return eventually([&] {
      for (const char* name : names)
        if (!fs::exists(in(name))) return false;
      return true;
    });
  }
};

// A file whose current version is kept is read after a remount with no fetch; one changed in
// the store since is fetched once.
TEST_F(CacheMountTest, ARemountReadsKeptFilesWithoutAFetch) {
  auto a = binaryBytes(300'000, 1), b = binaryBytes(200'000, 2);
  put(store() / "a.bin", a);
  put(store() / "b.bin", b);
  ASSERT_TRUE(shows({"a.bin", "b.bin"}));
  ASSERT_TRUE(readWholeFile(in("a.bin")) == a);
  ASSERT_TRUE(readWholeFile(in("b.bin")) == b);
  EXPECT_EQ(fetches(), 2);

  remount();
  EXPECT_TRUE(readWholeFile(in("a.bin")) == a);
  EXPECT_TRUE(readWholeFile(in("b.bin")) == b);
  EXPECT_EQ(fetches(), 0) << "a kept file was fetched again";

  auto newer = binaryBytes(250'000, 3);
  put(store() / "b.bin", newer);
  EXPECT_TRUE(eventually([&] { return readWholeFile(in("b.bin")) == newer; }));
  EXPECT_TRUE(readWholeFile(in("a.bin")) == a);
  EXPECT_EQ(fetches(), 1) << "b.bin once, nothing else";
}

// Copies removed, cut short or grown by hand, and a stray file, are never served: each file is
// fetched again and reads whole, and the stray goes.
TEST_F(CacheMountTest, ACacheDamagedByHandIsFetchedAgain) {
  std::vector<std::string> bytes;
  for (int i = 0; i < 3; ++i) {
    bytes.push_back(binaryBytes(100'000 + i, 10 + i));
    put(store() / ("f" + std::to_string(i)), bytes.back());
  }
  ASSERT_TRUE(shows({"f0", "f1", "f2"}));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(readWholeFile(in("f" + std::to_string(i))) == bytes[i]);
  unmount();
  std::vector<fs::path> copies;
  for (const auto& entry : fs::directory_iterator(state() / "cache")) copies.push_back(entry);
  ASSERT_EQ(copies.size(), 3u);
  fs::remove(copies[0]);
  fs::resize_file(copies[1], 5'000);
  std::ofstream(copies[2], std::ios::app) << "more";
  put(state() / "cache" / "stray", "left by hand");
  relay_->forget();
  mount();
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(readWholeFile(in("f" + std::to_string(i))) == bytes[i]) << i;
  EXPECT_EQ(fetches(), 3);
  EXPECT_FALSE(fs::exists(state() / "cache" / "stray"));
}

// Reading three times the bound keeps the copies within it (a fetch in flight aside); pinned
// files stay through that pressure, and a file larger than the bound is fetched and then let go.
TEST_F(CacheMountTest, TheBoundHoldsAndPinnedFilesStay) {
  constexpr std::int64_t kBound = 1 << 20, kFile = 256 << 10;
  mountOptions_ = {"--cache-size", std::to_string(kBound)};
  remount();
  fs::create_directories(store() / "keep");
  fs::create_directories(store() / "read");
  for (const char* name : {"keep/p1", "keep/p2"}) put(store() / name, binaryBytes(kFile, 20));
  for (int i = 0; i < 12; ++i)
    put(store() / "read" / ("r" + std::to_string(i)), binaryBytes(kFile, 30 + i));
  auto huge = binaryBytes(3 * kBound / 2, 40);
  put(store() / "huge.bin", huge);
  ASSERT_TRUE(shows({"keep/p1", "keep/p2", "read/r11", "huge.bin"}));
  ASSERT_EQ(qdrive({"pin", in("keep").string()}).find("qdrive:"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return fileStatus(in("keep/p1")) == "pinned"; }))
      << fileStatus(in("keep/p1"));
  ASSERT_TRUE(eventually([&] { return fileStatus(in("keep/p2")) == "pinned"; }));

  std::atomic<bool> reading{true};
  std::atomic<std::int64_t> peak{0};
  std::thread sampler([&] {
    while (reading) {
      peak =
          std::max<std::int64_t>(peak, bytesIn(state() / "cache") + bytesIn(state() / "fetched"));
      std::this_thread::sleep_for(5ms);
    }
  });
  for (int round = 0; round < 1; ++round)
    for (int i = 0; i < 12; ++i)
      EXPECT_EQ(readWholeFile(in("read/r" + std::to_string(i))).size(), std::size_t(kFile)) << i;
  reading = false;
  sampler.join();
  std::cout << "peak disk use of the cache reading " << 12 * kFile << " bytes under a bound of "
            << kBound << ": " << peak << " bytes\n";
  RecordProperty("cache_peak_bytes", std::to_string(peak.load()));
  EXPECT_LE(peak, kBound + kFile) << "the bound, and one fetch in flight";
  EXPECT_EQ(fileStatus(in("keep/p1")), "pinned");
  relay_->forget();
  EXPECT_EQ(readWholeFile(in("keep/p1")), binaryBytes(kFile, 20));
  EXPECT_EQ(fetches(), 0) << "a pinned file was evicted";

  EXPECT_TRUE(readWholeFile(in("huge.bin")) == huge) << "larger than the bound, read all the same";
  EXPECT_TRUE(eventually([&] { return fileStatus(in("huge.bin")) == "cloud"; }))
      << "kept once closed: " << fileStatus(in("huge.bin"));
  EXPECT_LE(bytesIn(state() / "cache"), kBound);
}

// A fetch that answers after a listing has shown a newer version (the file changed in the store
// while its bytes were on their way) does not take the file back to the version it fetched:
// the newer one is read next.
TEST_F(CacheMountTest, AFetchOvertakenByANewerVersionDoesNotStick) {
  put(store() / "f.txt", "first");
  ASSERT_TRUE(shows({"f.txt"}));
  relay_->setMode(CompanionRelay::Mode::holdFetches);
  std::string firstRead;
  std::thread reader([&] { firstRead = readWholeFile(in("f.txt")); });
  bool asked = eventually([&] { return fetches() > 0; });
  put(store() / "f.txt", "second, longer");
  bool listed = eventually([&] { return fs::file_size(in("f.txt")) == 14; });
  relay_->setMode(CompanionRelay::Mode::pass);
  reader.join();
  ASSERT_TRUE(asked && listed);
  EXPECT_TRUE(firstRead == "first" || firstRead == "second, longer") << firstRead;
  EXPECT_EQ(readWholeFile(in("f.txt")), "second, longer");
}

// A pinned folder fetches what is added to it in the store, keeps its pin across a remount and
// a rename; `free` drops the copies and the pin, and the files are fetched again when read.
TEST_F(CacheMountTest, APinnedFolderKeepsWhatItGainsUntilFreed) {
  fs::create_directories(store() / "docs");
  put(store() / "docs" / "old.txt", "old");
  ASSERT_TRUE(shows({"docs/old.txt"}));
  EXPECT_EQ(fileStatus(in("docs/old.txt")), "cloud");
  auto pinned = runProgram(QD_QDRIVE_BINARY, inGroup({"pin", in("docs").string()}), env());
  EXPECT_EQ(pinned.status, 0) << pinned.err;
  EXPECT_EQ(attribute(in("docs"), "user.quorvelle.pinned"), "1");
  EXPECT_TRUE(eventually([&] { return fileStatus(in("docs/old.txt")) == "pinned"; }));
  put(store() / "docs" / "new.txt", "added in the store");
  EXPECT_TRUE(eventually([&] { return fileStatus(in("docs/new.txt")) == "pinned"; }))
      << "the pinned folder never fetched the file added to it: " << fileStatus(in("docs/new.txt"));
  EXPECT_EQ(fetches(), 2);

  remount();
  EXPECT_EQ(fileStatus(in("docs/new.txt")), "pinned");
  EXPECT_EQ(readWholeFile(in("docs/new.txt")), "added in the store");
  EXPECT_EQ(fetches(), 0);
  ASSERT_EQ(::rename(in("docs").c_str(), in("papers").c_str()), 0) << std::strerror(errno);
  ASSERT_TRUE(landed());
  put(store() / "papers" / "later.txt", "after the rename");
  EXPECT_TRUE(eventually([&] { return fileStatus(in("papers/later.txt")) == "pinned"; }))
      << "the pin did not follow the rename";

  // A file the folder's pin keeps is not let go alone: that would change nothing.
  for (const char* command : {"unpin", "free"}) {
    auto refused =
        runProgram(QD_QDRIVE_BINARY, inGroup({command, in("papers/new.txt").string()}), env());
    EXPECT_EQ(refused.status, 1) << command << ": " << refused.out;
    EXPECT_NE(refused.err.find("kept by a pinned folder above it"), std::string::npos)
        << command << ": " << refused.err;
    EXPECT_EQ(fileStatus(in("papers/new.txt")), "pinned") << command;
  }

  auto freed = runProgram(QD_QDRIVE_BINARY, inGroup({"free", in("papers").string()}), env());
  EXPECT_EQ(freed.status, 0) << freed.err;
  for (const char* name : {"papers/old.txt", "papers/new.txt", "papers/later.txt"})
    EXPECT_EQ(fileStatus(in(name)), "cloud") << name;
  EXPECT_EQ(attribute(in("papers"), "user.quorvelle.pinned"), "0");
  EXPECT_EQ(bytesIn(state() / "cache"), 0);
  relay_->forget();
  EXPECT_EQ(readWholeFile(in("papers/old.txt")), "old");
  EXPECT_EQ(fetches(), 1);
  auto outside = runProgram(QD_QDRIVE_BINARY, inGroup({"pin", store().string()}), env());
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("not in a Quorvelle Drive mount"), std::string::npos) << outside.err;
}

// One file's status through its life: cloud, cached, pending while the companion is away,
// cached once the change landed, parked after a refusal; and the attributes a program sees.
TEST_F(MountTest, AFileShowsItsStatusThroughItsLife) {
  put(store() / "life.txt", "first");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("life.txt")); }));
  EXPECT_EQ(fileStatus(in("life.txt")), "cloud");
  EXPECT_EQ(readWholeFile(in("life.txt")), "first");
  EXPECT_EQ(fileStatus(in("life.txt")), "cached");
  companion_.reset();
  put(in("life.txt"), "second");
  // "uploading" for the moment an attempt is on its way to the missing companion.
  EXPECT_TRUE(eventually([&] { return fileStatus(in("life.txt")) == "pending"; }))
      << fileStatus(in("life.txt"));
  startCompanion();
  EXPECT_TRUE(storeEventuallyHolds("life.txt", "second"));
  EXPECT_TRUE(eventually([&] { return fileStatus(in("life.txt")) == "cached"; }))
      << fileStatus(in("life.txt"));
  // A refusal that waiting cannot mend parks it (one that can, such as access, is retried).
  companion_.reset();
  companionOptions_ = {"--max-file-size", "8"};
  startCompanion();
  put(in("life.txt"), "the third version, too long");
  EXPECT_TRUE(eventually([&] {
    return fileStatus(in("life.txt")).starts_with("parked: too large for the companion");
  })) << fileStatus(in("life.txt"));

  char names[256];
  ssize_t n = ::listxattr(in("life.txt").c_str(), names, sizeof names);
  EXPECT_EQ(std::string(names, n > 0 ? n : 0),
            std::string("user.quorvelle.status\0user.quorvelle.pinned\0", 44));
  EXPECT_EQ(attribute(in("life.txt"), "user.other"), "error: Operation not supported");
  EXPECT_NE(::setxattr(in("life.txt").c_str(), "user.other", "x", 1, 0), 0);
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_NE(::setxattr(in("life.txt").c_str(), "user.quorvelle.pinned", "yes", 3, 0), 0);
  EXPECT_EQ(errno, EINVAL);
}

// With no companion at start the mount shows the tree it last listed: kept files read,
// others answer EIO, a file made meanwhile lands once the companion starts, and a change made in
// the store meanwhile shows.
TEST_F(MountTest, AMountStartsWithoutItsCompanion) {
  fs::create_directories(store() / "dir");
  put(store() / "kept.txt", "kept");
  put(store() / "cold.txt", "cold");
  put(store() / "dir" / "inner.txt", "inner");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("dir/inner.txt")); }));
  ASSERT_EQ(readWholeFile(in("kept.txt")), "kept");
  unmount();
  companion_.reset();

  mount();
  EXPECT_NE(readWholeFile(mountLog()).find("offline"), std::string::npos)
      << readWholeFile(mountLog());
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(mountpoint()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"cold.txt", "dir", "kept.txt"}));
  EXPECT_TRUE(fs::exists(in("dir/inner.txt")));
  EXPECT_EQ(fs::file_size(in("cold.txt")), 4u);
  EXPECT_EQ(readWholeFile(in("kept.txt")), "kept");
  EXPECT_EQ(readError(in("cold.txt")), EIO);
  put(in("dir/made offline.txt"), "made offline");
  EXPECT_NE(status().find("offline since"), std::string::npos) << status();

  put(store() / "while away.txt", "added");
  startCompanion();
  EXPECT_TRUE(storeEventuallyHolds("dir/made offline.txt", "made offline"));
  EXPECT_TRUE(eventually([&] { return fs::exists(in("while away.txt")); }));
  EXPECT_EQ(readWholeFile(in("cold.txt")), "cold");
  EXPECT_TRUE(eventually([&] { return status().find("offline since") == std::string::npos; }));
}

// Changes that land as the mount ends (after its last listing) show at the next offline start
// as they landed: an edited file reads its new bytes from the cache, a file made here shows and
// reads, and a removed file stays removed.
TEST_F(MountTest, ChangesLandedAtUnmountShowAtAnOfflineStart) {
  put(store() / "edited.txt", "before");
  put(store() / "removed.txt", "removed");
  ASSERT_TRUE(
      eventually([&] { return fs::exists(in("edited.txt")) && fs::exists(in("removed.txt")); }));
  unmount();
  mount("60");  // no listing after the first one
  ASSERT_EQ(readWholeFile(in("edited.txt")), "before");
  put(in("edited.txt"), "edited here");
  put(in("made.txt"), "made here");
  ASSERT_TRUE(fs::remove(in("removed.txt")));
  unmount();  // they go out as it ends
  ASSERT_EQ(readWholeFile(store() / "edited.txt"), "edited here");
  ASSERT_EQ(readWholeFile(store() / "made.txt"), "made here");
  ASSERT_FALSE(fs::exists(store() / "removed.txt"));
  companion_.reset();

  mount();
  EXPECT_EQ(readWholeFile(in("edited.txt")), "edited here");
  EXPECT_EQ(fs::file_size(in("edited.txt")), 11u);
  EXPECT_EQ(readWholeFile(in("made.txt")), "made here");
  EXPECT_FALSE(fs::exists(in("removed.txt")));
}

// "Offline since" is said of a running mount: after an offline mount was killed, `qdrive status`
// does not say it.
TEST_F(MountTest, AKilledOfflineMountLeavesNoOfflineStatus) {
  put(store() / "a.txt", "a");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("a.txt")); }));
  unmount();
  companion_.reset();
  mount();
  // Noted once the session runs, a moment after the folder shows as mounted.
  ASSERT_TRUE(eventually([&] { return status().find("offline since") != std::string::npos; }))
      << status();
  mount_->signal(SIGKILL);
  mount_->wait();
  mount_.reset();
  runProgram("/usr/bin/fusermount3", {"-u", "-z", mountpoint().string()}, env());
  startCompanion();
  EXPECT_EQ(status().find("offline since"), std::string::npos) << status();
  EXPECT_NE(qdrive({"status", "--json"}).find(R"("offlineSince":null)"), std::string::npos)
      << qdrive({"status", "--json"});
}

// Pending changes belong to the drive they were made on. A companion of another drive (here a
// second store on the same socket) gets none of them, neither while the mount runs nor when a
// later mount starts over it; they land in their own drive once it is mounted again.
TEST_F(MountTest, PendingChangesOfOneDriveNeverReachAnother) {
  fs::path other = temp_.path() / "other store";
  fs::create_directories(other);
  put(other / "theirs.txt", "another drive");
  fs::create_directories(store() / "ed");
  put(store() / "ed" / "s.txt", "server");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("ed/s.txt")); }));
  ASSERT_EQ(readWholeFile(in("ed/s.txt")), "server");
  companion_.reset();
  put(in("ed/s.txt"), "edited");
  put(in("new.txt"), "made here");
  ASSERT_EQ(::mkdir(in("fresh").c_str(), 0755), 0);
  auto untouched = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(other))
      if (entry.path().filename() != ".quorvelle" &&
          entry.path().parent_path().filename() != ".quorvelle" &&
          entry.path().string().find("/.quorvelle/") == std::string::npos)
        names.insert(fs::relative(entry.path(), other).string());
    return names == std::set<std::string>{"theirs.txt"};
  };

  auto second = [&] {
    return std::make_unique<BackgroundProgram>(QD_COMPANION_BINARY,
                                               inGroup({"--store", other.string()}), env());
  };
  companion_ = second();  // while the mount runs
  ASSERT_TRUE(eventually([&] { return fs::exists(containers() / "g" / "drive.json"); }));
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(untouched()) << "the running mount sent its changes to another drive";
  EXPECT_FALSE(fs::exists(in("theirs.txt")));
  companion_.reset();
  unmount();

  companion_ = second();  // a mount over it
  ASSERT_TRUE(eventually([&] { return fs::exists(containers() / "g" / "drive.json"); }));
  mount();
  EXPECT_NE(readWholeFile(mountLog())
                .find("mounting " + other.string() + "; the state of " + store().string() +
                      " (3 change(s) pending)"),
            std::string::npos)
      << readWholeFile(mountLog());
  EXPECT_TRUE(eventually([&] { return fs::exists(in("theirs.txt")); }));
  EXPECT_FALSE(fs::exists(in("new.txt")));
  EXPECT_NE(status().find("3 change(s) wait for another drive, " + store().string()),
            std::string::npos)
      << status();
  put(in("for them.txt"), "made over the other drive");
  EXPECT_TRUE(eventually([&] { return fs::exists(other / "for them.txt"); }));
  fs::remove(other / "for them.txt");
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(untouched()) << "a mount over another drive replayed this drive's changes";
  unmount();
  companion_.reset();

  startCompanion();
  mount();
  EXPECT_TRUE(storeEventuallyHolds("new.txt", "made here"));
  EXPECT_TRUE(storeEventuallyHolds("ed/s.txt", "edited"));
  EXPECT_TRUE(landed()) << status();  // the three changes go out side by side
  EXPECT_TRUE(fs::is_directory(store() / "fresh"));
  EXPECT_TRUE(untouched());
}

struct stat statOf(const fs::path& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

// Times and modes set here (as touch, chmod, cp -a and rsync -a set them: on an item from the
// store, on a file written here before it is closed, on a temporary file saved over another by
// rename) last across a remount while the item holds that version; a new version from elsewhere
// shows the companion's time and the usual mode again.
TEST_F(MountTest, TimesAndModesSetHereLastWhileTheirVersionDoes) {
  put(store() / "old.txt", "from the store");
  put(store() / "target.txt", "to be replaced");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("target.txt")); }));
  auto setTimes = [&](const char* name, time_t seconds, long nanos) {
    timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
    return ::utimensat(AT_FDCWD, in(name).c_str(), times, 0);
  };
  ASSERT_EQ(setTimes("old.txt", 1'000'000'000, 7), 0);
  ASSERT_EQ(::chmod(in("old.txt").c_str(), 0750), 0);
  int fd = ::open(in("run.sh").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  std::string script = "#!/bin/sh\necho ran\n";
  ASSERT_EQ(::write(fd, script.data(), script.size()), ssize_t(script.size()));
  ASSERT_EQ(::fchmod(fd, 0755), 0);
  timespec stamp[2] = {{200'000'000, 0}, {200'000'000, 0}};
  ASSERT_EQ(::futimens(fd, stamp), 0);
  ASSERT_EQ(::close(fd), 0);
  int made = ::open(in("private.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(made, 0) << std::strerror(errno);
  ASSERT_EQ(::close(made), 0);
  ASSERT_EQ(::mkdir(in("private").c_str(), 0700), 0);
  put(in(".target.txt.tmp"), "saved by rename");
  ASSERT_EQ(setTimes(".target.txt.tmp", 300'000'000, 3), 0);
  ASSERT_EQ(::rename(in(".target.txt.tmp").c_str(), in("target.txt").c_str()), 0);
  ASSERT_TRUE(landed());
  unmount();
  mount();

  const std::tuple<const char*, time_t, long, mode_t> expected[] = {
      {"old.txt", 1'000'000'000, 7, 0750},
      {"run.sh", 200'000'000, 0, 0755},
      {"target.txt", 300'000'000, 3, 0644},
  };
  EXPECT_EQ(statOf(in("private.txt")).st_mode & 07777, 0600u) << "the mode it was made with";
  EXPECT_EQ(statOf(in("private")).st_mode & 07777, 0700u);
  for (const auto& [name, seconds, nanos, mode] : expected) {
    auto st = statOf(in(name));
    EXPECT_EQ(st.st_mtim.tv_sec, seconds) << name;
    EXPECT_EQ(st.st_mtim.tv_nsec, nanos) << name;
    EXPECT_EQ(st.st_mode & 07777, mode) << name;
  }
  EXPECT_EQ(readWholeFile(in("target.txt")), "saved by rename");
  auto ran = runProgram(in("run.sh").string(), {}, env());
  EXPECT_EQ(ran.out, "ran\n") << ran.err;

  ASSERT_EQ(::chmod(in("run.sh").c_str(), 04755), 0);
  EXPECT_EQ(statOf(in("run.sh")).st_mode & 07777, 04755u);
  std::ofstream(in("run.sh"), std::ios::app) << "echo again\n";
  EXPECT_EQ(statOf(in("run.sh")).st_mode & 07777, 0755u) << "a write drops the set-user-ID bit";

  put(store() / "old.txt", "a new version from elsewhere");
  EXPECT_TRUE(eventually([&] { return statOf(in("old.txt")).st_size == 28; }));
  auto st = statOf(in("old.txt"));
  EXPECT_EQ(st.st_mtim.tv_sec, statOf(store() / "old.txt").st_mtim.tv_sec);
  EXPECT_EQ(st.st_mode & 07777, 0644);
}

// On a full state folder a change that cannot be recorded changes nothing: an open that
// truncates, a truncation by path and a write that answer ENOSPC leave the file reading what it
// held, in this run and the next.
TEST_F(MountTest, AChangeTheFullDiskRefusesLeavesTheFileAsItWas) {
  unmount();
  fs::path small = temp_.path() / "small";
  Tmpfs disk(small, "20m");
  if (!disk.failure().empty()) GTEST_SKIP() << disk.failure();
  stateHome_ = small;
  mountOptions_ = {"--cache-min-free", "0"};  // the copies stay however full the disk
  mount();
  const std::string original = "the original contents";
  std::vector<std::pair<std::string, std::function<int(const fs::path&)>>> changes{
      {"open-truncate",
       [](const fs::path& file) {
         int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
         if (fd < 0) return errno;
         ::close(fd);
         return 0;
       }},
      {"truncate",
       [](const fs::path& file) { return ::truncate(file.c_str(), 3) == 0 ? 0 : errno; }},
      {"write",
       [](const fs::path& file) {
         int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
         if (fd < 0) return errno;
         int err = ::pwrite(fd, "XYZ", 3, 0) == 3 ? 0 : errno;
         ::close(fd);
         return err;
       }},
  };
  for (const auto& [name, _] : changes) put(store() / name, original);
  for (const auto& change : changes) {
    const auto& name = change.first;  // a lambda cannot capture a structured binding in C++20
    ASSERT_TRUE(eventually([&] { return readWholeFile(in(name)) == original; })) << name;
  }
  for (std::size_t piece : {std::size_t{1} << 20, std::size_t{1}}) {
    std::ofstream filler(small / ("filler" + std::to_string(piece)), std::ios::binary);
    while (filler << std::string(piece, 'x')) {
    }
  }
  std::vector<std::string> refused;
  for (const auto& [name, change] : changes) {
    int err = change(in(name));
    EXPECT_TRUE(err == 0 || err == ENOSPC) << name << ": " << std::strerror(err);
    if (err != ENOSPC) continue;
    refused.push_back(name);
    EXPECT_EQ(contentsOrError(in(name)), original) << name;
  }
  EXPECT_FALSE(refused.empty()) << "the full disk refused nothing";
  unmount();
  for (std::size_t piece : {std::size_t{1} << 20, std::size_t{1}})
    fs::remove(small / ("filler" + std::to_string(piece)));
  mount();
  for (const auto& name : refused) {
    EXPECT_EQ(readWholeFile(in(name)), original) << name;
    EXPECT_EQ(readWholeFile(store() / name), original) << name;
  }
}

// A small file system as the state root: written files land and join the cache under its
// bound instead of filling the disk; once the disk is full, rm and rmdir still work and what
// was recorded still goes out.
TEST_F(MountTest, AFullDiskInTheCacheStillRemovesAndUploads) {
  unmount();
  fs::path small = temp_.path() / "small";
  Tmpfs disk(small, "20m");
  if (!disk.failure().empty()) GTEST_SKIP() << disk.failure();
  stateHome_ = small;
  mount();
  auto mebibyte = binaryBytes(1 << 20, 50);
  for (int i = 0; i < 40; ++i) {
    auto name = "m" + std::to_string(i) + ".bin";
    int err = 0;
    {
      std::ofstream out(in(name), std::ios::binary);
      out << mebibyte;
      out.close();
      if (!out) err = errno ? errno : EIO;
    }
    ASSERT_EQ(err, 0) << "file " << i
                      << " of 1 MiB on a 20 MB state folder: " << std::strerror(err);
    if (i % 5 == 4) {
      ASSERT_TRUE(landed()) << status();
    }
  }
  ASSERT_TRUE(landed());
  EXPECT_TRUE(readWholeFile(store() / "m39.bin") == mebibyte);

  ASSERT_EQ(::mkdir(in("empty").c_str(), 0755), 0);
  ASSERT_TRUE(landed());
  companion_.reset();
  put(in("waiting.txt"), "recorded before the disk filled");
  {
    std::ofstream filler(small / "filler", std::ios::binary);
    while (filler << mebibyte) {
    }
  }
  EXPECT_EQ(::unlink(in("m0.bin").c_str()), 0) << std::strerror(errno);
  EXPECT_EQ(::rmdir(in("empty").c_str()), 0) << std::strerror(errno);
  startCompanion();
  EXPECT_TRUE(storeEventuallyHolds("waiting.txt", "recorded before the disk filled"));
  EXPECT_TRUE(eventually([&] { return !fs::exists(store() / "m0.bin"); }, 40s));
  EXPECT_TRUE(eventually([&] { return !fs::exists(store() / "empty"); }, 40s));
  fs::remove(small / "filler");
}

// With the disk that holds the state full (another program filled it), opening a file that is
// not kept makes room by dropping kept copies not in use and reads whole; with nothing left to
// drop it answers ENOSPC rather than EIO or a short file, and reads once room comes back.
TEST_F(CacheMountTest, AFetchOnAFullDiskDropsOtherCopiesOrAnswersNoSpace) {
  unmount();
  fs::path small = temp_.path() / "small";
  Tmpfs disk(small, "24m");
  if (!disk.failure().empty()) GTEST_SKIP() << disk.failure();
  stateHome_ = small;
  mountOptions_ = {"--cache-size", "64M", "--cache-min-free", "0"};
  relay_->forget();
  mount();
  auto a = binaryBytes(4 << 20, 1), b = binaryBytes(4 << 20, 2), big = binaryBytes(6 << 20, 3);
  put(store() / "a.bin", a);
  put(store() / "b.bin", b);
  put(store() / "big.bin", big);
  ASSERT_TRUE(shows({"a.bin", "b.bin", "big.bin"}));
  ASSERT_TRUE(readWholeFile(in("a.bin")) == a);
  ASSERT_TRUE(readWholeFile(in("b.bin")) == b);
  {
    std::ofstream filler(small / "filler", std::ios::binary);
    auto mebibyte = binaryBytes(1 << 20, 4);
    while (filler << mebibyte) {
    }
  }

  EXPECT_TRUE(readWholeFile(in("big.bin")) == big) << "room was not made from closed copies";
  EXPECT_EQ(fileStatus(in("a.bin")), "cloud");
  EXPECT_EQ(fileStatus(in("b.bin")), "cloud");

  int holding = ::open(in("big.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holding, 0) << std::strerror(errno);
  EXPECT_EQ(readError(in("a.bin")), ENOSPC) << "with nothing to drop";
  EXPECT_EQ(::close(holding), 0);
  EXPECT_TRUE(readWholeFile(in("a.bin")) == a) << "once the open copy is closed";
  EXPECT_EQ(fileStatus(in("big.bin")), "cloud");
  fs::remove(small / "filler");
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
