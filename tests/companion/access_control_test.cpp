// Who may reach the companion and who may read what it serves: owner-only throughout. The
// program's own container rules are in companion_process_test, the fetched copies' modes in
// companion_end_to_end_test.
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

}  // namespace
}  // namespace QuorvelleDrive::testing
