// What `qdrive status` tells a user about each pending change, on a real mount through its
// whole life: a file still open, a change the companion refuses, an outage, no mount at all,
// and the next mount after an outage.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <fcntl.h>
#include <unistd.h>

#include <sstream>

#include "boundaries/file_provider_error.h"
#include "cache_status.h"
#include "hosts/mount_fixture.h"
#include "outbox.h"
#include "park_reason.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StatusTest : public MountTest {
 protected:
  StatusTest() { relayed_ = true; }

  // The status line of the entry named `name`, or "" when none names it.
  std::string lineFor(const std::string& name) {
    std::istringstream lines(status());
    std::string line;
    while (std::getline(lines, line))
      if (line.find("  " + name + "  ") != std::string::npos) return line;
    return "";
  }
  bool eventuallySays(const std::string& name, const std::string& words) {
    return eventually([&] { return lineFor(name).find(words) != std::string::npos; }, 40s);
  }
};

TEST_F(StatusTest, EachPendingChangeSaysHowItStands) {
  EXPECT_TRUE(status().starts_with("no uploads pending\ncache: ")) << status();
  EXPECT_NE(qdrive({"status", "--json"}).find(R"("mounted":true)"), std::string::npos);

  // Uploads start after the last close: until then the file waits for it.
  int fd = ::open(in("open.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_EQ(::write(fd, "abc", 3), 3);
  EXPECT_TRUE(eventuallySays("open.txt", "waiting for the file to be closed")) << status();
  ASSERT_EQ(::fsync(fd), 0);
  EXPECT_NE(lineFor("open.txt").find("waiting for the file to be closed"), std::string::npos)
      << "fsync does not start the upload";
  ASSERT_EQ(::close(fd), 0);
  ASSERT_TRUE(landed()) << status();

  // An outage: the change that went out is retried, and says after what.
  relay_->setMode(CompanionRelay::Mode::refuseChanges);
  put(in("later.txt"), "written during the outage");
  EXPECT_TRUE(
      eventuallySays("later.txt", "retrying after the companion is unreachable, offline or busy"))
      << status();
  unmount();

  EXPECT_EQ(status().substr(0, status().find('\n')), "not mounted; kept for the next mount:");
  EXPECT_NE(lineFor("later.txt").find("waiting for the next mount"), std::string::npos) << status();
  EXPECT_NE(qdrive({"status", "--json"}).find(R"("mounted":false)"), std::string::npos);

  // The next mount's companion answers (its replies to changes held back for a while): the
  // earlier outage is over, so what is not yet sent is simply queued.
  relay_->setMode(CompanionRelay::Mode::holdReplies);
  mount();
  for (int i = 0; i < 16; ++i) put(in("queued-" + std::to_string(i) + ".txt"), "q");
  EXPECT_TRUE(eventually(
      [&] {
        auto all = status();
        return all.find("  uploading\n") != std::string::npos &&
               all.find("  queued\n") != std::string::npos;
      },
      40s))
      << status();
  EXPECT_EQ(status().find("retrying after"), std::string::npos) << status();
  relay_->setMode(CompanionRelay::Mode::pass);
  ASSERT_TRUE(landed()) << status();
  EXPECT_EQ(readWholeFile(store() / "later.txt"), "written during the outage");
}

// A change the companion refuses for good says what happened and what to do.
TEST_F(StatusTest, AParkedChangeSaysWhatHappenedAndWhatToDo) {
  unmount();
  companion_.reset();
  auto arguments = inGroup({"--store", store().string(), "--max-file-size", "1000"});
  arguments[3] = (temp_.path() / "upstream").string();  // behind the relay
  companion_ = std::make_unique<BackgroundProgram>(QD_COMPANION_BINARY, arguments, env());
  ASSERT_TRUE(eventually([&] { return fs::exists(temp_.path() / "upstream/g/drive.sock"); }));
  mount();
  put(in("big.bin"), std::string(5000, 'x'));
  EXPECT_TRUE(eventuallySays("big.bin",
                             "parked: too large for the companion: 5000 bytes (4.9 KiB); it "
                             "stays here: make the file smaller or raise the companion's "
                             "limit, then save the file again"))
      << status();
  put(in("big.bin"), "small now");
  ASSERT_TRUE(landed()) << status();
  EXPECT_EQ(readWholeFile(store() / "big.bin"), "small now");
}

// The words for reasons a real mount cannot be made to meet in a test (an upload larger than
// this machine's memory), beside the ones it can.
TEST(ParkReason, SaysWhatHappenedAndWhatToDo) {
  using fuse::ParkedChange;
  const std::tuple<Error, ParkedChange, std::string> cases[] = {
      {cocoaError(CocoaError::fileReadTooLarge), ParkedChange{true, 42'949'672'960, 15'032'385'536},
       "too large to upload: 42949672960 bytes (40.0 GiB), 15032385536 bytes (14.0 GiB) of "
       "memory available; it stays here: free memory or make the file smaller, then save the "
       "file again"},
      {fileProviderError(FileProviderError::insufficientQuota), ParkedChange{true, 10, {}},
       "the drive's store is full; it stays here: free space in the store, then save the file "
       "again"},
      {cocoaError(CocoaError::fileWriteNoPermission), ParkedChange{false, {}, {}},
       "the companion refuses changes here (a read-only drive, or no permission); it stays "
       "here: remove it, or make the drive writable and make the change again"},
      {fileProviderError(FileProviderError::cannotSynchronize), ParkedChange{false, {}, {}},
       "the companion could not take it; it stays here: make the change again to try again"},
  };
  for (const auto& [error, change, words] : cases)
    EXPECT_EQ(fuse::parkReason(error, change, "the companion could not take it"), words);
}

// `qdrive status` in the instant a mount has made its databases but not yet their tables (an
// empty file is such a database) reads nothing pending and nothing kept, rather than failing.
TEST(StatusOfANewState, ReadsDatabasesWithoutTablesAsEmpty) {
  TempDir temp;
  auto state = temp.path() / "state";
  fs::create_directories(state / "outbox");
  std::ofstream(state / "outbox" / "outbox.db").close();
  std::ofstream(state / "mount.db").close();
  EXPECT_TRUE(fuse::Outbox::read(state / "outbox").entries.empty());
  auto report = fuse::readCacheReport(state, {});
  EXPECT_EQ(report.files, 0);
  EXPECT_FALSE(report.limit.has_value());
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
