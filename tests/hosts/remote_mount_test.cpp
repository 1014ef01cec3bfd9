// `qdrive mount --remote`: mounts whose bundled companions keep the drive on a real WebDAV server
// (each of the five kinds in support/dav_server.h), each "machine" with its own home, companion,
// index and mount.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "companion/fd.h"
#include "hosts/child_process.h"
#include "platform/json.h"
#include "support/dav_server.h"
#include "support/drive_fixture.h"
#include "support/fault_proxy.h"
#include "support/long_run.h"
#include "support/temp_dir.h"
#include "support/tmpfs.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The mount's and the companion's poll intervals the tests use.
constexpr auto kMountPoll = 300ms;
constexpr auto kRemotePoll = 1s;
constexpr auto npos = std::string::npos;

bool isMounted(const fs::path& path) {
  return readWholeFile("/proc/self/mounts").find(" " + path.string() + " ") != std::string::npos;
}

void put(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// One machine: a home of its own (so its own companion state and mount state) and a mount.
class Machine {
 public:
  Machine(const fs::path& home, const DavServer& server, const std::string& url = {})
      : home_(home) {
    fs::create_directories(mountpoint());
    mount_ = std::make_unique<BackgroundProgram>(
        QD_QDRIVE_BINARY,
        std::vector<std::string>{
            "--group", "g", "--containers", (home_ / "c").string(), "mount", mountpoint().string(),
            "--poll", "0.3", "--remote", url.empty() ? server.url() : url, "--netrc",
            server.netrc().string(), "--remote-poll", "1", "--companion", QD_COMPANION_BINARY},
        cleanEnvironment(home_), home_ / "mount.log");
    up_ = eventually([&] { return isMounted(mountpoint()); }, 20s);
  }
  ~Machine() {
    runProgram("/usr/bin/fusermount3", {"-u", mountpoint().string()}, cleanEnvironment(home_));
    mount_->wait();
  }

  bool up() const { return up_; }
  std::string log() const { return readWholeFile(home_ / "mount.log"); }
  fs::path mountpoint() const { return home_ / "mnt"; }
  fs::path in(const std::string& relative) const { return mountpoint() / relative; }
  Finished shell(const std::string& command) const {
    return runProgram("/bin/sh", {"-c", command}, cleanEnvironment(home_));
  }
  // What `qdrive status` says of this mount.
  std::string status() const {
    auto run = runProgram(QD_QDRIVE_BINARY,
                          {"--group", "g", "--containers", (home_ / "c").string(), "status"},
                          cleanEnvironment(home_));
    return run.out + run.err;
  }

 private:
  fs::path home_;
  std::unique_ptr<BackgroundProgram> mount_;
  bool up_ = false;
};

class RemoteMountTest : public ::testing::TestWithParam<DavKind> {
 protected:
  void SetUp() override {
    if (!companion::UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC)).valid())
      GTEST_SKIP() << "cannot open /dev/fuse: " << std::strerror(errno);
    server_ = std::make_unique<DavServer>(GetParam(), temp_.path() / "server");
    if (!server_->failure().empty()) GTEST_SKIP() << server_->failure();
  }

  std::unique_ptr<Machine> machine(const std::string& name, const std::string& url = {}) {
    auto made = std::make_unique<Machine>(temp_.path() / name, *server_, url);
    EXPECT_TRUE(made->up()) << "the mount never came up: " << made->log();
    return made;
  }
  // A small tree of text and binary files, some nested.
  fs::path sourceTree() {
    fs::path source = temp_.path() / "source";
    fs::create_directories(source / "a" / "b");
    std::string binary(200'000, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 131 % 251);
    put(source / "top.bin", binary);
    put(source / "a" / "one.txt", "one\n");
    put(source / "a" / "b" / "empty", "");
    for (int i = 0; i < 20; ++i) put(source / "a" / ("f" + std::to_string(i)), std::string(i, 'x'));
    return source;
  }
  bool sameTree(const fs::path& a, const fs::path& b, std::chrono::milliseconds limit = 30s) {
    return eventually(
        [&] {
          return runProgram("/usr/bin/diff", {"-r", a.string(), b.string()}, {}).status == 0;
        },
        limit);
  }

  TempDir temp_;
  std::unique_ptr<DavServer> server_;
};

// An edit made on the server with curl shows within the companion's poll, the mount's poll and
// a second.
TEST_P(RemoteMountTest, AnEditOnTheServerShowsWithinBothPolls) {
  auto one = machine("one");
  ASSERT_TRUE(one->up());
  EXPECT_TRUE(fs::is_empty(one->mountpoint()));
  fs::path local = temp_.path() / "edit.txt";
  for (const char* bytes : {"from the server", "changed on the server"}) {
    put(local, bytes);
    ASSERT_EQ(server_->curl({"-T", local.string()}, "edit.txt") / 100, 2);
    EXPECT_TRUE(eventually([&] { return readWholeFile(one->in("edit.txt")) == bytes; },
                           kRemotePoll + kMountPoll + 1s))
        << bytes;
  }
}

// Two machines on one server: a tree copied into one mount appears byte for byte in the other;
// the same file changed in both at once ends as two files, nothing lost.
TEST_P(RemoteMountTest, TwoMachinesShareOneDrive) {
  auto one = machine("one");
  auto two = machine("two");
  ASSERT_TRUE(one->up() && two->up());
  fs::path source = sourceTree();
  auto copy = one->shell("cp -r " + source.string() + " " + one->in("tree").string());
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_TRUE(sameTree(source, server_->files() / "tree"));
  EXPECT_TRUE(sameTree(source, two->in("tree")));

  // The same file changed in both at once, round after round (more under `scripts/test --long`):
  // each round ends as both edits, one under the name and one as a conflict copy.
  int rounds = roundsOf(1, 8);
  for (int round = 0; round < rounds; ++round) {
    std::string name = "race" + std::to_string(round);
    put(one->in("tree/a/" + name + ".txt"), "start\n");
    ASSERT_TRUE(eventually([&] { return fs::exists(two->in("tree/a/" + name + ".txt")); }));
    std::string mine = "changed on one " + std::to_string(round) + "\n";
    std::string theirs = "changed on two " + std::to_string(round) + "\n";
    std::thread first([&] { put(one->in("tree/a/" + name + ".txt"), mine); });
    std::thread second([&] { put(two->in("tree/a/" + name + ".txt"), theirs); });
    first.join();
    second.join();
    auto versions = [&](const Machine& machine) {
      std::multiset<std::string> found;
      for (auto& entry : fs::directory_iterator(machine.in("tree/a")))
        if (entry.path().filename().string().rfind(name, 0) == 0)
          found.insert(readWholeFile(entry.path()));
      return found;
    };
    std::multiset<std::string> both{mine, theirs};
    EXPECT_TRUE(eventually([&] { return versions(*one) == both && versions(*two) == both; }))
        << "round " << round << ::testing::PrintToString(versions(*one))
        << ::testing::PrintToString(versions(*two));
  }
}

// With the server down the copy still succeeds (the mount's outbox keeps it), and every file
// lands once the server is back.
TEST_P(RemoteMountTest, AServerStoppedDuringACopyGetsEverythingOnceBack) {
  auto one = machine("one");
  ASSERT_TRUE(one->up());
  fs::path source = sourceTree();
  ASSERT_EQ(one->shell("mkdir " + one->in("tree").string()).status, 0);
  ASSERT_EQ(
      one->shell("cp " + (source / "top.bin").string() + " " + one->in("tree").string()).status, 0);
  server_->stop();
  auto copy = one->shell("cp -r " + (source / "a").string() + " " + one->in("tree").string());
  ASSERT_EQ(copy.status, 0) << copy.err;
  ASSERT_TRUE(server_->start()) << server_->failure();
  EXPECT_TRUE(sameTree(source, server_->files() / "tree", 60s)) << one->log();
}

// What `git init` makes lives on in the mount poll after poll, though nginx lists no names that
// begin with a dot (`qdrive status` says whether the server does).
TEST_P(RemoteMountTest, DotNamesMadeInTheMountStay) {
  auto one = machine("one");
  ASSERT_TRUE(one->up());
  auto made = one->shell("cd " + one->mountpoint().string() +
                         " && mkdir -p .git/refs && echo 'ref: refs/heads/main' > .git/HEAD &&"
                         " echo 'build/' > .gitignore");
  ASSERT_EQ(made.status, 0) << made.err;
  ASSERT_TRUE(eventually([&] { return fs::exists(server_->files() / ".git/HEAD"); }));
  std::this_thread::sleep_for(3 * kRemotePoll + 2 * kMountPoll);
  EXPECT_EQ(readWholeFile(one->in(".git/HEAD")), "ref: refs/heads/main\n");
  EXPECT_EQ(readWholeFile(one->in(".gitignore")), "build/\n");
  EXPECT_TRUE(fs::is_directory(one->in(".git/refs")));
  EXPECT_EQ(readWholeFile(server_->files() / ".gitignore"), "build/\n");
  EXPECT_THAT(one->status(),
              ::testing::HasSubstr(GetParam() == DavKind::nginx
                                       ? "names beginning with a dot: left out of listings"
                                       : "names beginning with a dot: listed"));
}

// df shows the server's quota where the server tells one (RFC 4331; sabre/dav gives that of the
// disk it serves from), else the disk the mount keeps its state on: here a 32 MiB file system of
// its own, so neither can be mistaken for the other, nor for a made-up size.
TEST_P(RemoteMountTest, DfShowsTheServersQuotaOrTheMountsOwnDisk) {
  Tmpfs home(temp_.path() / "one", "32m");
  if (!home.failure().empty()) GTEST_SKIP() << home.failure();
  auto one = machine("one");
  ASSERT_TRUE(one->up());
  auto totalShown = [&] {
    struct statvfs st {};
    return ::statvfs(one->mountpoint().c_str(), &st) == 0 ? st.f_blocks * st.f_frsize : 0;
  };
  if (GetParam() != DavKind::sabre) {
    EXPECT_EQ(totalShown(), 32u << 20);
    return;
  }
  fs::path report = temp_.path() / "one" / "c" / "g" / "server.json";
  ASSERT_TRUE(eventually([&] {
    return readWholeFile(report).find("\"quota\"") != std::string::npos;
  })) << readWholeFile(report);
  auto quota = readJSON(readWholeFile(report)).as_object().at("quota").as_object();
  auto total = quota.at("available").to_number<std::uint64_t>() +
               quota.at("used").to_number<std::uint64_t>();
  EXPECT_NEAR(static_cast<double>(totalShown()), static_cast<double>(total), 4096.0);
  EXPECT_NE(totalShown(), 32u << 20);
}

// Changes the server refuses for a reason that can pass (507 no space, 401 a password not
// accepted) wait in the outbox, `qdrive status` says when the next try is, and they land once
// the reason is gone: after the wait, or at once when the mount starts again. The server here
// is Apache; the waiting is the mount's own.
class RemoteMountRetryTest : public RemoteMountTest {};

TEST_P(RemoteMountRetryTest, ChangesRefusedForSpaceOrCredentialsAreTriedAgain) {
  FaultProxy proxy(server_->port());
  std::string url = proxy.through(server_->url());
  for (const char* method : {"PUT", "MOVE"})
    proxy.add({Fault::answer, method, "", -1, 507, "", 0, {}});
  auto one = machine("one", url);
  ASSERT_TRUE(one->up());
  put(one->in("full.txt"), "waits for space");
  EXPECT_TRUE(eventually(
      [&] {
        auto said = one->status();
        return said.find("no space left") != std::string::npos &&
               said.find("next try at") != std::string::npos;
      },
      20s))
      << one->status();
  EXPECT_THAT(one->status(), ::testing::HasSubstr("credentials: accepted"));
  proxy.clear();
  EXPECT_TRUE(eventually([&] { return fs::exists(server_->files() / "full.txt"); }, 40s))
      << one->status();

  for (const char* method : {"PUT", "MOVE"})
    proxy.add({Fault::answer, method, "", -1, 401, "", 0, {}});
  put(one->in("locked.txt"), "waits for a password");
  EXPECT_TRUE(
      eventually([&] { return one->status().find("not allowed") != std::string::npos; }, 20s))
      << one->status();
  one.reset();
  proxy.clear();
  auto again = machine("one", url);
  EXPECT_TRUE(eventually([&] { return fs::exists(server_->files() / "locked.txt"); }, 10s))
      << again->status();
  EXPECT_EQ(readWholeFile(server_->files() / "locked.txt"), "waits for a password");
}

// The server stopped while a copy of many files drains from the outbox, then started again:
// every file lands once, and no answer lost in the stop turns into a conflict copy.
TEST_P(RemoteMountRetryTest, AServerStoppedWhileFilesDrainMakesNoCopies) {
  auto one = machine("one");
  ASSERT_TRUE(one->up());
  fs::path source = temp_.path() / "many";
  fs::create_directories(source);
  for (int i = 0; i < 300; ++i)
    put(source / ("f" + std::to_string(i) + ".txt"), std::string(100 + i, 'a' + i % 26));
  for (int round = 0, rounds = roundsOf(1, 4); round < rounds; ++round) {
    std::string name = "copy" + std::to_string(round);
    auto copy = one->shell("cp -r " + source.string() + " " + one->in(name).string());
    ASSERT_EQ(copy.status, 0) << copy.err;
    ASSERT_TRUE(eventually([&] { return fs::exists(server_->files() / name / "f0.txt"); }, 30s));
    server_->stop();
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(server_->start()) << server_->failure();
    EXPECT_TRUE(sameTree(source, server_->files() / name, 90s))
        << one->status()
        << runProgram("/usr/bin/diff", {"-rq", source.string(), (server_->files() / name).string()},
                      {})
               .out
        << one->log();
  }
}

// A mount started again while its server is down comes up from what it kept: the files it
// wrote read from their kept copies, one never read here cannot be read (and says so at once),
// and a file made meanwhile lands once the server is back.
TEST_P(RemoteMountRetryTest, AMountStartedWhileItsServerIsDownServesWhatItKept) {
  auto one = machine("one");
  ASSERT_TRUE(one->up());
  put(one->in("kept.txt"), "written here");
  fs::path local = temp_.path() / "far.txt";
  put(local, "only on the server");
  ASSERT_EQ(server_->curl({"-T", local.string()}, "far.txt") / 100, 2);
  ASSERT_TRUE(eventually(
      [&] {
        return readWholeFile(server_->files() / "kept.txt") == "written here" &&
               fs::exists(one->in("far.txt"));
      },
      30s))
      << one->log();
  one.reset();
  server_->stop();

  one = machine("one");
  ASSERT_TRUE(one->up()) << one->log();
  EXPECT_EQ(readWholeFile(one->in("kept.txt")), "written here");
  ASSERT_TRUE(fs::exists(one->in("far.txt")));
  {
    int fd = ::open(one->in("far.txt").c_str(), O_RDONLY | O_CLOEXEC);
    char byte;
    EXPECT_TRUE(fd < 0 || ::read(fd, &byte, 1) < 0) << "read a file it never had";
    if (fd >= 0) ::close(fd);
  }
  put(one->in("new.txt"), "made while the server was down");
  ASSERT_TRUE(server_->start()) << server_->failure();
  EXPECT_TRUE(eventually(
      [&] {
        return readWholeFile(server_->files() / "new.txt") == "made while the server was down";
      },
      60s))
      << one->log() << one->status();
  EXPECT_EQ(readWholeFile(one->in("far.txt")), "only on the server");
}

// `qdrive status` blames the side at fault, in words: a server that stopped answering is said by
// name with when it stopped and when it is tried next (with nothing pending too), its
// credentials are not called accepted meanwhile, and a body it refused as too large says so and
// how large a body it has taken. Error domains and codes stay in --json.
TEST_P(RemoteMountRetryTest, StatusSaysWhatTheServerDoesInWords) {
  FaultProxy proxy(server_->port());
  std::string url = proxy.through(server_->url());
  auto one = machine("one", url);
  ASSERT_TRUE(one->up());
  put(one->in("small.txt"), "small");
  ASSERT_TRUE(eventually([&] { return fs::exists(server_->files() / "small.txt"); }, 30s))
      << one->status();
  EXPECT_TRUE(eventually([&] { return one->status().find("no uploads pending\n") != npos; }))
      << one->status();
  EXPECT_THAT(one->status(), ::testing::HasSubstr("  credentials: accepted\n"));

  proxy.add({Fault::answer, "PUT", "", -1, 413, "", 0, {}});
  put(one->in("big.bin"), std::string(5000, 'b'));
  std::string refused =
      "parked: the server at " + url + " refused it as too large: 5000 bytes (4.9 KiB)";
  EXPECT_TRUE(eventually([&] { return one->status().find(refused) != npos; }, 30s))
      << one->status();
  EXPECT_THAT(one->status(), ::testing::HasSubstr("; the largest body it has taken is "));
  EXPECT_THAT(one->status(),
              ::testing::HasSubstr("raise the server's limit on the size of uploads"));
  fs::remove(one->in("big.bin"));
  proxy.clear();
  EXPECT_TRUE(eventually([&] { return one->status().find("no uploads pending\n") != npos; }))
      << one->status();

  server_->stop();
  std::string outage = "the server at " + url + " is not answering since ";
  EXPECT_TRUE(eventually(
      [&] { return one->status().find("no uploads pending; offline: " + outage) != npos; }, 30s))
      << one->status();
  put(one->in("later.txt"), "made while it was down");
  EXPECT_TRUE(
      eventually([&] { return one->status().find("retrying after " + outage) != npos; }, 30s))
      << one->status();
  auto said = one->status();
  EXPECT_THAT(said, ::testing::HasSubstr(", next try at "));
  EXPECT_THAT(said, ::testing::HasSubstr("  credentials: accepted when it last answered\n"));
  EXPECT_EQ(said.find("ErrorDomain"), npos) << said;
  auto json = runProgram(QD_QDRIVE_BINARY,
                         {"--group", "g", "--containers", (temp_.path() / "one" / "c").string(),
                          "status", "--json"},
                         cleanEnvironment(temp_.path() / "one"))
                  .out;
  EXPECT_THAT(json, ::testing::HasSubstr("NSFileProviderErrorDomain -1004"));
  EXPECT_THAT(json, ::testing::HasSubstr(R"("answering":false)"));

  ASSERT_TRUE(server_->start()) << server_->failure();
  EXPECT_TRUE(eventually([&] { return fs::exists(server_->files() / "later.txt"); }, 60s))
      << one->status();
  EXPECT_TRUE(eventually([&] {
    auto now = one->status();
    return now.find("no uploads pending\n") != npos &&
           now.find("  credentials: accepted\n") != npos;
  })) << one->status();
}

INSTANTIATE_TEST_SUITE_P(Servers, RemoteMountRetryTest, ::testing::Values(DavKind::apache),
                         [](const auto& info) { return nameOf(info.param); });
INSTANTIATE_TEST_SUITE_P(Servers, RemoteMountTest, ::testing::ValuesIn(allDavKinds()),
                         [](const auto& info) { return nameOf(info.param); });

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
