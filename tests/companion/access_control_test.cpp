// Who may reach the companion and who may read what the system writes: owner-only throughout.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>

#include "companion/companion.h"
#include "companion/companion_fixture.h"
#include "hosts/child_process.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

// No account needs to exist for it: the kernel reports whatever uid the peer runs as.
constexpr uid_t kStranger = 54321;

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// In a child running as `kStranger`: 0 when the companion closed without answering, 1 when it
// answered, 2 when the socket could not even be reached.
int strangerExchange(const fs::path& socket, const std::string& frame) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kStranger) != 0 || ::setuid(kStranger) != 0)
      ::_exit(3);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(2);
    (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);  // it may have closed already
    char byte;
    ::_exit(::read(fd, &byte, 1) > 0 ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class AccessControlTest : public DriveFixture {
 protected:
  AccessControlTest() {
    fs::create_directories(store());
    std::ofstream(store() / "report.txt") << "private";
  }
  fs::path store() const { return temp_.path() / "store"; }
  void start() {
    companion_.emplace(companion::Options{store(), socketPath(), false, {}},
                       [this](const std::string& line) {
                         std::lock_guard lock(mutex_);
                         log_ += line + "\n";
                       });
  }
  std::string log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

  std::optional<companion::Companion> companion_;
  std::mutex mutex_;
  std::string log_;
};

TEST_F(AccessControlTest, SocketAndFetchedFilesAreOwnerOnly) {
  start();
  EXPECT_EQ(modeOf(socketPath()), 0600u);
  auto extension = FileProviderExtension::create(domain_);
  auto fetched = fetch(*extension, ItemIdentifier("2"));
  ASSERT_TRUE(fetched.file) << (fetched.error ? fetched.error->code() : 0);
  EXPECT_EQ(readWholeFile(*fetched.file), "private");
  EXPECT_EQ(modeOf(*fetched.file), 0600u);
  EXPECT_EQ(modeOf(fetched.file->parent_path()), 0700u);
}

TEST_F(AccessControlTest, AnotherUserIsRefusedEvenWhenThePathIsOpen) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a second user";
  start();
  // Open every level of the path so that only the credentials check stands in the way.
  for (fs::path dir = socketPath().parent_path(); dir != temp_.path().parent_path();
       dir = dir.parent_path())
    ::chmod(dir.c_str(), 0755);
  ::chmod(socketPath().c_str(), 0666);

  EXPECT_EQ(strangerExchange(socketPath(), requestFrame({{"op", "anchor"}})), 0);
  EXPECT_NE(log().find("refused a connection from uid 54321"), std::string::npos) << log();
  AppClient own(socketPath().string());
  EXPECT_NO_THROW(own.call({{"op", "anchor"}})) << "its own user is still served";
}

TEST_F(AccessControlTest, ProgramKeepsItsContainerPrivate) {
  fs::path containers = temp_.path() / "roots";
  auto arguments = [&](const std::string& group) {
    return std::vector<std::string>{"--store",           store().string(), "--containers",
                                    containers.string(), "--group",        group};
  };
  fs::create_directories(containers / "mine");
  ::chmod((containers / "mine").c_str(), 0777);
  {
    BackgroundProgram companion(QD_COMPANION_BINARY, arguments("mine"), {});
    EXPECT_TRUE(eventually([&] { return fs::exists(containers / "mine" / "drive.sock"); }));
    EXPECT_EQ(modeOf(containers / "mine"), 0700u);
  }

  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another user";
  fs::create_directories(containers / "theirs");
  ASSERT_EQ(::chown((containers / "theirs").c_str(), kStranger, kStranger), 0);
  auto refused = runProgram(QD_COMPANION_BINARY, arguments("theirs"), {}, std::chrono::seconds(10));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("belongs to uid 54321"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(containers / "theirs" / "drive.sock"));
}

}  // namespace
}  // namespace QuorvelleDrive::testing
