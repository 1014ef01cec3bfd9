// A mount's start and end around its mountpoint and companion: after a mount is killed (SIGKILL,
// as the OOM killer does) the next mount clears the dead FUSE mount left on the mountpoint and
// owns the bundled companion the killed one left running; a missing mountpoint is made; and a
// mount that ends never leaves its companion behind, whatever signals reach it as it winds down.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "hosts/mount_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CrashRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!companion::UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC)).valid())
      GTEST_SKIP() << "cannot open /dev/fuse: " << std::strerror(errno);
    fs::create_directories(mountpoint());
  }
  void TearDown() override {
    runProgram("/usr/bin/fusermount3", {"-u", "-z", mountpoint().string()}, env());
    for (const char* store : {"one", "two"})
      if (pid_t pid = companionServing(store); pid > 0) ::kill(pid, SIGKILL);
  }

  // `qdrive mount` with its bundled companion over the store `store`.
  std::unique_ptr<BackgroundProgram> mount(const std::string& store, const fs::path& log,
                                           const std::string& poll = "0.3") {
    auto mount = std::make_unique<BackgroundProgram>(
        QD_QDRIVE_BINARY,
        std::vector<std::string>{"--group", "g", "--containers", (temp_.path() / "c").string(),
                                 "mount", mountpoint().string(), "--poll", poll, "--store",
                                 (temp_.path() / store).string(), "--companion",
                                 QD_COMPANION_BINARY},
        env(), log);
    EXPECT_TRUE(eventually([&] { return readWholeFile(log).find("qdrive: mounted") != npos; }, 40s))
        << readWholeFile(log);
    return mount;
  }
  // The companion process serving the store `store`, or 0.
  pid_t companionServing(const std::string& store) const {
    std::string wanted = (temp_.path() / store).string() + '\0';
    for (const auto& entry : fs::directory_iterator("/proc")) {
      auto cmdline = readWholeFile(entry.path() / "cmdline");
      if (cmdline.starts_with(std::string(QD_COMPANION_BINARY) + '\0') &&
          cmdline.find('\0' + wanted) != npos) {
        pid_t pid = std::stoi(entry.path().filename().string());
        if (alive(pid)) return pid;
      }
    }
    return 0;
  }
  // Running: neither gone nor a zombie that its new parent has yet to reap.
  static bool alive(pid_t pid) {
    auto stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
    auto end = stat.rfind(") ");
    return end != npos && stat.compare(end + 2, 1, "Z") != 0;
  }
  bool storeGets(const std::string& store, const std::string& name) {
    put(mountpoint() / name, name);
    return eventually([&] { return readWholeFile(temp_.path() / store / name) == name; }, 40s);
  }
  static void kill(std::unique_ptr<BackgroundProgram>& mount) {
    mount->signal(SIGKILL);
    mount->wait();
    mount.reset();
  }

  std::vector<std::string> env() const { return cleanEnvironment(temp_.path()); }
  fs::path mountpoint() const { return temp_.path() / mountpointName_; }

  fs::path mountpointName_ = "mnt";

  static constexpr auto npos = std::string::npos;
  TempDir temp_;
};

TEST_F(CrashRecoveryTest, TheNextMountClearsTheDeadMountAndOwnsTheLeftCompanion) {
  auto first = mount("one", temp_.path() / "first.log");
  ASSERT_TRUE(storeGets("one", "a.txt"));
  pid_t leftover = companionServing("one");
  ASSERT_GT(leftover, 0);
  kill(first);
  struct stat st {};
  ASSERT_NE(::stat(mountpoint().c_str(), &st), 0);
  ASSERT_EQ(errno, ENOTCONN) << "a killed mount leaves a dead FUSE mount";

  // Same drive: the dead mount is cleared, and the companion left serving it adopted.
  auto log = temp_.path() / "second.log";
  auto second = mount("one", log);
  EXPECT_NE(readWholeFile(log).find("qdrive: cleared a dead mount that an earlier mount left on " +
                                    mountpoint().string()),
            npos)
      << readWholeFile(log);
  EXPECT_NE(readWholeFile(log).find("qdrive: adopted the bundled companion (pid " +
                                    std::to_string(leftover) + ")"),
            npos)
      << readWholeFile(log);
  EXPECT_TRUE(storeGets("one", "b.txt"));
  kill(second);

  // Another drive: the companion left serving the first is stopped, and one for it started.
  log = temp_.path() / "third.log";
  auto third = mount("two", log);
  EXPECT_NE(readWholeFile(log).find("qdrive: stopped the bundled companion (pid " +
                                    std::to_string(leftover) +
                                    ") that an earlier mount left "
                                    "serving " +
                                    (temp_.path() / "one").string()),
            npos)
      << readWholeFile(log);
  EXPECT_FALSE(alive(leftover));
  EXPECT_TRUE(storeGets("two", "c.txt"));
  pid_t own = companionServing("two");
  ASSERT_GT(own, 0);
  runProgram("/usr/bin/fusermount3", {"-u", mountpoint().string()}, env());
  EXPECT_EQ(third->wait(), 0) << readWholeFile(log);
  EXPECT_EQ(companionServing("two"), 0) << "the mount stops the companion it owns";
}

// A dead mount that another program left is not ours to clear: the mount names it and says what
// to run, and that is enough.
TEST_F(CrashRecoveryTest, ADeadMountOfAnotherProgramIsNamedWithWhatToRun) {
  if (!fs::exists("/usr/bin/rclone")) GTEST_SKIP() << "rclone is not installed";
  fs::create_directories(temp_.path() / "elsewhere");
  auto rclone = std::make_unique<BackgroundProgram>(
      "/usr/bin/rclone",
      std::vector<std::string>{"mount", (temp_.path() / "elsewhere").string(),
                               mountpoint().string()},
      env(), temp_.path() / "rclone.log");
  ASSERT_TRUE(eventually([&] { return isMounted(mountpoint()); }, 30s))
      << readWholeFile(temp_.path() / "rclone.log");
  kill(rclone);
  struct stat st {};
  ASSERT_NE(::stat(mountpoint().c_str(), &st), 0);
  ASSERT_EQ(errno, ENOTCONN);

  auto refused = runProgram(QD_QDRIVE_BINARY,
                            {"--group", "g", "--containers", (temp_.path() / "c").string(), "mount",
                             mountpoint().string(), "--no-companion"},
                            env());
  EXPECT_EQ(refused.status, 1);
  std::string hint = "fusermount3 -u -z " + mountpoint().string();
  EXPECT_NE(refused.err.find(mountpoint().string() + " is a dead FUSE mount"), npos) << refused.err;
  EXPECT_NE(refused.err.find("mount again: " + hint), npos) << refused.err;
  EXPECT_TRUE(isMounted(mountpoint())) << "another program's mount is left alone";
  EXPECT_EQ(runProgram("/bin/sh", {"-c", hint}, env()).status, 0);
  EXPECT_EQ(::stat(mountpoint().c_str(), &st), 0) << std::strerror(errno);
}

// The README's command after a crash: `scripts/run mount ~/Quorvelle` with ~/Quorvelle missing,
// parents and all, is made as `mkdir -p` makes it, then mounted.
TEST_F(CrashRecoveryTest, AMissingMountpointIsMadeWithItsParents) {
  mountpointName_ = "new/deeper/mnt";
  ASSERT_FALSE(fs::exists(temp_.path() / "new"));
  auto log = temp_.path() / "mount.log";
  auto made = mount("one", log);
  EXPECT_NE(readWholeFile(log).find("qdrive: made the folder " + mountpoint().string()), npos)
      << readWholeFile(log);
  EXPECT_TRUE(isMounted(mountpoint()));
  mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(temp_.path() / "new").permissions()), 0777 & ~mask);
  EXPECT_TRUE(storeGets("one", "a.txt"));
  runProgram("/usr/bin/fusermount3", {"-u", mountpoint().string()}, env());
  EXPECT_EQ(made->wait(), 0) << readWholeFile(log);
}

// The terminal that ran a mount closed while it winds down (SIGHUP, here again and again while
// it waits for an upload its companion has not answered): it still sends what is pending, stops
// its companion and exits 0, rather than dying and leaving the companion to init. The test takes
// the place of init for the companion, as a subreaper: its process group then stays one with a
// parent outside it, so the kernel never hangs the stopped companion up on the mount's behalf.
TEST_F(CrashRecoveryTest, SignalsWhileWindingDownNeverLeaveTheCompanionBehind) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  auto log = temp_.path() / "mount.log";
  auto mounted = mount("one", log, "86400");  // no poll asks the stopped companion anything
  pid_t companion = companionServing("one");
  ASSERT_GT(companion, 0);
  ASSERT_TRUE(fs::exists(mountpoint() / "Welcome to Quorvelle Drive.txt"));  // the root listed
  ASSERT_EQ(::kill(companion, SIGSTOP), 0);
  put(mountpoint() / "late.txt", "sent while winding down");
  ASSERT_EQ(runProgram("/usr/bin/fusermount3", {"-u", mountpoint().string()}, env()).status, 0);
  for (int i = 0; i < 60 && mounted->running(); ++i) {
    mounted->signal(SIGHUP);
    std::this_thread::sleep_for(100ms);
  }
  ::kill(companion, SIGCONT);
  EXPECT_EQ(mounted->wait(), 0) << readWholeFile(log);
  EXPECT_TRUE(eventually(
      [&] {
        ::waitpid(companion, nullptr, WNOHANG);  // ours once its parent is gone
        return !alive(companion);
      },
      30s))
      << "the companion outlived the mount";
  EXPECT_EQ(readWholeFile(temp_.path() / "one" / "late.txt"), "sent while winding down")
      << readWholeFile(log);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}
}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
