// Where this user cannot open /dev/fuse (a machine without udev leaves it 0600 root), `qdrive
// mount` says what to do at once, before it makes, starts or mounts anything.
#if defined(QD_QDRIVE_BINARY)

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "fuse_device.h"
#include "hosts/child_process.h"
#include "support/drive_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

TEST(FuseDevice, AMissingDeviceSaysHowToGetOne) {
  TempDir temp;
  EXPECT_THAT(fuse::fuseDeviceProblem(temp.path() / "fuse"),
              HasSubstr("is missing, so nothing can be mounted with FUSE: load the module (sudo "
                        "modprobe fuse)"));
  std::ofstream(temp.path() / "openable") << "";
  EXPECT_EQ(fuse::fuseDeviceProblem(temp.path() / "openable"), "");
}

// In a mount namespace of its own, a 0600 root file stands in for /dev/fuse, and qdrive runs as
// nobody, as on a machine without udev.
TEST(FuseDevice, AMountWhereItCannotBeOpenedSaysWhatToDoFirst) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to stand a file in for /dev/fuse";
  TempDir temp;
  fs::permissions(temp.path(), fs::perms::all);
  fs::path device = temp.path() / "fuse";
  std::ofstream(device) << "";
  fs::permissions(device, fs::perms::owner_read | fs::perms::owner_write);
  fs::path mountpoint = temp.path() / "mnt";
  std::string script = "mount --bind " + device.string() +
                       " /dev/fuse && exec setpriv --reuid=65534 --regid=65534 --clear-groups "
                       "-- \"$0\" --containers " +
                       (temp.path() / "c").string() + " mount " + mountpoint.string();
  auto run =
      runProgram("/usr/bin/unshare",
                 {"--mount", "--propagation", "private", "/bin/sh", "-c", script, QD_QDRIVE_BINARY},
                 cleanEnvironment(temp.path()));
  if (run.status != 1 && run.err.find("qdrive:") == std::string::npos)
    GTEST_SKIP() << "no mount namespace of its own here: " << run.err;
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "qdrive: this user may not open /dev/fuse (mode 0600, owner root:root), which FUSE "
            "needs; a system without udev leaves it so. Let every user open it, as udev does: "
            "sudo chmod 0666 /dev/fuse\n");
  EXPECT_FALSE(fs::exists(mountpoint));
  EXPECT_FALSE(fs::exists(temp.path() / "c"));
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
