// The desktop trash inside the mount: `gio trash` (as GNOME Files and KDE's Dolphin do it) finds
// no trash folder it may make at the drive's root and says so, so the file stays and nothing of
// this machine's trash reaches the drive.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <sys/stat.h>
#include <unistd.h>

#include "hosts/mount_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

std::string trashName() {
  return ".Trash-" + std::to_string(::getuid());
}

TEST_F(MountTest, TheDesktopTrashIsRefusedAtTheRootAndNothingOfItIsUploaded) {
  if (!fs::exists("/usr/bin/gio")) GTEST_SKIP() << "gio (libglib2.0-bin) is not installed";
  put(in("report.txt"), "kept");
  auto trashed = runProgram("/usr/bin/gio", {"trash", in("report.txt").string()}, env());
  EXPECT_EQ(trashed.status, 1);
  EXPECT_NE(trashed.err.find("Unable to find or create trash directory"), std::string::npos)
      << trashed.err;
  EXPECT_EQ(readWholeFile(in("report.txt")), "kept");

  EXPECT_NE(::mkdir(in(trashName()).c_str(), 0700), 0);
  EXPECT_EQ(errno, EPERM);
  ASSERT_EQ(::mkdir(in("folder").c_str(), 0755), 0);
  EXPECT_NE(::rename(in("folder").c_str(), in(".Trash-42").c_str()), 0);
  EXPECT_EQ(errno, EPERM);
  // Only the trash's own names at the root: the same name deeper, or a name that merely starts
  // alike, is a folder like any other.
  EXPECT_EQ(::mkdir(in("folder/" + trashName()).c_str(), 0700), 0) << std::strerror(errno);
  EXPECT_EQ(::mkdir(in(".Trash-notes").c_str(), 0700), 0) << std::strerror(errno);

  ASSERT_TRUE(landed()) << status();
  EXPECT_EQ(readWholeFile(store() / "report.txt"), "kept");
  EXPECT_TRUE(fs::is_directory(store() / "folder" / trashName()));
  for (const auto& entry : fs::directory_iterator(store()))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".Trash-") &&
                 entry.path().filename() != ".Trash-notes")
        << entry.path();

  // A trash folder the drive already holds (made elsewhere) is shown and used as it is.
  fs::create_directories(store() / ".Trash-7" / "files");
  EXPECT_TRUE(eventually([&] { return fs::is_directory(in(".Trash-7/files")); }));
  EXPECT_EQ(::rename(in("report.txt").c_str(), in(".Trash-7/files/report.txt").c_str()), 0)
      << std::strerror(errno);
  ASSERT_TRUE(landed()) << status();
  EXPECT_EQ(readWholeFile(store() / ".Trash-7/files/report.txt"), "kept");
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
