// Who may reach the companion and who may read what it serves: owner-only throughout, and in
// the store what the user's umask allows. The program's own container rules are in
// companion_process_test, the fetched copies' modes in companion_end_to_end_test.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "companion/companion_fixture.h"
#include "hosts/child_process.h"

namespace QuorvelleDrive::testing {
namespace {

// In a child running as `kStranger`: 0 when the companion closed without answering, 1 when it
// answered, 2 when the socket could not even be reached.
int strangerExchange(const std::filesystem::path& socket, const std::string& frame) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kStranger) != 0 || ::setuid(kStranger) != 0)
      ::_exit(3);
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
