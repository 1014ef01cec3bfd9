// Who may reach the companion and who may read what it serves: owner-only throughout, on both
// sides of the socket, and in the store what the user's umask allows. The program's start-up
// rules are in companion_process_test, the fetched copies' modes in companion_end_to_end_test.
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "channel/unavailable.h"
#include "companion/companion_fixture.h"
#include "hosts/child_process.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

void becomeStranger() {
  if (::setgroups(0, nullptr) != 0 || ::setgid(kStranger) != 0 || ::setuid(kStranger) != 0)
    ::_exit(3);
}

// A socket listening at `path`. Only system calls, for a forked child of the multi-threaded test.
qc::UniqueFd listenAt(const char* path) {
  qc::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 8) != 0)
    fd.reset();
  return fd;
}

// In a child running as `kStranger`: 0 when the companion closed without answering, 1 when it
// answered, 2 when the socket could not even be reached.
int strangerExchange(const std::filesystem::path& socket, const std::string& frame) {
  pid_t pid = ::fork();
  if (pid == 0) {
    becomeStranger();
    RawConnection connection(socket);
    if (!connection.connected()) ::_exit(2);
    connection.send(frame);  // it may have closed already
    ::_exit(connection.closedByPeer() ? 0 : 1);
  }
  return *reap(pid, std::chrono::seconds(10));
}

using AccessControlTest = CompanionTest;

TEST_F(AccessControlTest, SocketIsOwnerOnlyAndAnotherUserIsRefusedEvenWhenThePathIsOpen) {
  EXPECT_EQ(modeOf(socket()), 0600u);
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a second user";
  // Open the path to the socket so that only the credentials check stands in the way.
  ::chmod(socket().parent_path().c_str(), 0755);
  ::chmod(socket().c_str(), 0666);

  EXPECT_EQ(strangerExchange(socket(), requestFrame({{"op", "anchor"}})), 0);
  EXPECT_NE(log().find("refused a connection from uid 54321"), std::string::npos) << log();
  EXPECT_EQ(word({{"op", "anchor"}}), "") << "its own user is still served";
}

// The second wall: a host that reaches another user's socket sends it nothing.
TEST_F(AccessControlTest, AHostSendsNothingToAnotherUsersSocket) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a second user";
  auto theirs = temp_.path() / "theirs";
  fs::create_directory(theirs);
  ::chmod(theirs.c_str(), 0777);
  ::chmod(temp_.path().c_str(), 0711);
  const std::string path = (theirs / "drive.sock").string();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {  // listens as the stranger; exits 1 when a byte arrives
    becomeStranger();
    qc::UniqueFd listener = listenAt(path.c_str());
    ::write(ready[1], "r", 1);
    pollfd wait{listener.get(), POLLIN, 0};
    ::poll(&wait, 1, 10'000);
    qc::UniqueFd connection(::accept(listener.get(), nullptr, nullptr));
    char byte;
    ::_exit(connection.valid() && ::recv(connection.get(), &byte, 1, 0) > 0 ? 1 : 0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_THROW(AppClient(path).call({{"op", "anchor"}}), Unavailable);
  EXPECT_EQ(reap(pid, std::chrono::seconds(20)), 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

#ifdef QD_QDRIVE_BINARY

// Containers under a shared folder like /tmp, where another user could have been first. Neither
// host uses one that is not the user's alone, each says why, and the companion will not serve
// there; a socket planted in it is never even connected to.
TEST(ContainerOwnershipTest, AContainerNotTheUsersAloneIsNoContainer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand folders to another user";
  TempDir temp;
  const auto shared = temp.path() / "tmp", root = shared / "quorvelle-0", group = root / "g";
  const auto elsewhere = shared / "elsewhere";
  auto theirs = [](const fs::path& path) {
    ASSERT_EQ(::lchown(path.c_str(), kStranger, kStranger), 0);
  };
  struct Case {
    const char* what;
    std::function<void()> plant;
    fs::path folder;
    std::string says;
  };
  std::vector<Case> cases = {
      {"root made first by another user",
       [&] {
         fs::create_directories(group);
         theirs(root);
         theirs(group);
       },
       root, "belongs to uid 54321"},
      {"group folder another user's",
       [&] {
         fs::create_directories(group);
         theirs(group);
       },
       group, "belongs to uid 54321"},
      {"group folder a link",
       [&] {
         fs::create_directories(elsewhere);
         fs::create_directory(root);
         fs::create_directory_symlink(elsewhere, group);
         theirs(elsewhere);
         theirs(group);
       },
       group, "is a symbolic link owned by uid 54321"},
      {"root writable by others",
       [&] {
         fs::create_directories(group);
         ::chmod(root.c_str(), 0777);
       },
       root, "is writable by other users (mode 0777)"},
  };
  for (auto& [what, plant, folder, says] : cases) {
    SCOPED_TRACE(what);
    fs::remove_all(shared);
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    plant();
    qc::UniqueFd planted = listenAt((group / "drive.sock").c_str());
    ASSERT_TRUE(planted.valid());
    auto env = cleanEnvironment(temp.path());
    const std::vector<std::string> where{"--containers", root.string(), "--group", "g"};
    auto withWhere = [&](std::vector<std::string> arguments) {
      arguments.insert(arguments.begin(), where.begin(), where.end());
      return arguments;
    };
    auto item = runProgram(QD_QDRIVE_BINARY, withWhere({"--timeout", "10", "item", "1"}), env);
    EXPECT_EQ(item.status, 1);
    EXPECT_THAT(item.err,
                ::testing::HasSubstr("server unreachable (NSFileProviderErrorDomain -1004)"));
    auto mount =
        runProgram(QD_QDRIVE_BINARY,
                   withWhere({"mount", (temp.path() / "absent").string(), "--no-companion"}), env);
    EXPECT_EQ(mount.status, 1);
    auto companion = runProgram(QD_COMPANION_BINARY,
                                {"--store", (temp.path() / "store").string(), "--group", "g",
                                 "--containers", root.string()},
                                env);
    EXPECT_EQ(companion.status, 1);
    for (const auto* run : {&item, &mount, &companion})
      EXPECT_THAT(run->err, ::testing::HasSubstr(folder.string() + " " + says));
    EXPECT_FALSE(qc::UniqueFd(::accept(planted.get(), nullptr, nullptr)).valid());
  }
}

#endif  // QD_QDRIVE_BINARY

// What the companion makes in the store follows the umask, as other programs' files do; a
// rewrite keeps the bits the file already had.
TEST_F(AccessControlTest, StoreEntriesFollowTheUmaskAndARewriteKeepsTheFilesMode) {
  for (mode_t mask : {mode_t{077}, mode_t{022}}) {
    std::string name = "mask" + std::to_string(mask);
    mode_t was = ::umask(mask);
    std::string file = createFile("1", name + ".txt", "x");
    createDir("1", name);
    call(writeRequest(file, "y", "stale"), "y");
    ::umask(was);
    EXPECT_EQ(modeOf(store() / (name + ".txt")), 0666 & ~mask);
    EXPECT_EQ(modeOf(store() / qc::conflictName(name + ".txt", 1)), 0666 & ~mask);
    EXPECT_EQ(modeOf(store() / name), 0777 & ~mask);
  }
  std::string file = createFile("1", "own.txt", "x");
  ::chmod((store() / "own.txt").c_str(), 0604);
  call(writeRequest(file, "y", version(file)), "y");
  EXPECT_EQ(modeOf(store() / "own.txt"), 0604u);
}

}  // namespace
}  // namespace QuorvelleDrive::testing
