// What df shows for a mount: the room of the drive, not a made-up size.
#include <sys/statvfs.h>

#include <cstdint>

#include "hosts/mount_fixture.h"
#include "support/tmpfs.h"

#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

struct Room {
  std::uint64_t total = 0;
  std::uint64_t available = 0;
};

Room roomOf(const fs::path& path) {
  struct statvfs st {};
  if (::statvfs(path.c_str(), &st) != 0) return {};
  return {st.f_blocks * st.f_frsize, st.f_bavail * st.f_frsize};
}

// The store lives on a 32 MiB file system of its own, so that its room cannot be mistaken for
// that of the disk the mount keeps its state on.
class SpaceTest : public MountTest {
 protected:
  void SetUp() override {
    disk_ = std::make_unique<Tmpfs>(store(), "32m");
    if (!disk_->failure().empty()) GTEST_SKIP() << disk_->failure();
    MountTest::SetUp();
  }
  void TearDown() override {
    MountTest::TearDown();
    companion_.reset();
    disk_.reset();
  }

  std::unique_ptr<Tmpfs> disk_;
};

TEST_F(SpaceTest, DfShowsTheRoomOfTheFileSystemThatHoldsTheStore) {
  constexpr std::uint64_t kSlack = 64 * 1024;  // the companion's index may grow meanwhile
  auto shown = roomOf(mountpoint());
  EXPECT_EQ(shown.total, 32u << 20);
  EXPECT_NEAR(static_cast<double>(shown.available), static_cast<double>(roomOf(store()).available),
              kSlack);

  put(in("four.bin"), binaryBytes(4 << 20, 4));
  ASSERT_TRUE(landed()) << status();
  auto after = roomOf(mountpoint());
  EXPECT_NEAR(static_cast<double>(after.available), static_cast<double>(roomOf(store()).available),
              kSlack);
  EXPECT_LE(after.available + (4u << 20), shown.available + kSlack);
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
