// What `qdrive status` tells a user about each pending change, on a real mount through its
// whole life: a file still open, a change the companion refuses, an outage, no mount at all,
// and the next mount after an outage.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <fcntl.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <ctime>
#include <sstream>

#include "boundaries/file_provider_error.h"
#include "cache_status.h"
#include "hosts/mount_fixture.h"
#include "outbox.h"
#include "park_reason.h"
#include "status_words.h"

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
                             "limit (its --max-file-size), then save the file again"))
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

// What status says of each recorded error, for a drive in a local store and one on a server
// (answering, or not since a time): no error domain or code, and the server named where the
// error is its doing.
TEST(StatusWords, BlameTheSideAtFaultWithoutCodes) {
  std::tm noon{};
  noon.tm_year = 126, noon.tm_mon = 11, noon.tm_mday = 9, noon.tm_hour = 12;
  std::time_t now = std::mktime(&noon);
  fuse::ServerState answering;
  answering.url = "https://dav.example.org/me/";
  answering.credentials = "accepted";
  fuse::ServerState silent = answering;
  silent.answering = false;
  silent.silentSince = now - 60;
  silent.silence = "Couldn't connect to server";
  silent.nextLook = now + 15;
  fuse::ServerState refusing = answering;
  refusing.credentials = "refused (401)";
  const std::string unreachable =
      "the companion is unreachable, offline or busy (NSFileProviderErrorDomain -1004)";
  const std::string full =
      "the companion has no space left (NSFileProviderErrorDomain -1003); next try at 12:00:15";
  const std::string denied = "not allowed (NSCocoaErrorDomain 513); next try at 12:00:15";
  const std::string other =
      "the companion could not take it (NSFileProviderErrorDomain -2005); it stays here: make "
      "the change again to try again";
  const std::tuple<std::string, std::optional<fuse::ServerState>, std::string> cases[] = {
      {unreachable, std::nullopt, "the companion is unreachable, offline or busy"},
      {unreachable, answering,
       "the companion, or the server at https://dav.example.org/me/, is unreachable or busy"},
      {unreachable, silent,
       "the server at https://dav.example.org/me/ is not answering since 11:59:00, next try at "
       "12:00:15 (Couldn't connect to server)"},
      {full, std::nullopt, "the companion has no space left; next try at 12:00:15"},
      {full, silent,
       "the server at https://dav.example.org/me/ has no space left; next try at "
       "12:00:15"},
      {denied, std::nullopt, "not allowed; next try at 12:00:15"},
      {denied, answering,
       "not allowed by the server at https://dav.example.org/me/; next try at "
       "12:00:15"},
      {denied, refusing,
       "not allowed: the server at https://dav.example.org/me/ refused the "
       "credentials; next try at 12:00:15"},
      {other, answering,
       "the companion could not take it; it stays here: make the change again to try again"},
      {"parked for a reason of its own", silent, "parked for a reason of its own"},
  };
  for (const auto& [recorded, server, words] : cases)
    EXPECT_EQ(fuse::forPeople(recorded, server, now), words) << recorded;
  silent.nextLook = now - 1;
  EXPECT_EQ(fuse::silenceWords(silent, now),
            "not answering since 11:59:00, trying again now (Couldn't connect to server)");
  EXPECT_EQ(fuse::clockWords(now - 86400, now), "2026-12-08 12:00:00");
}

// A body refused as too large blames whoever refused it: the companion's limit on a local store,
// the server's (with the largest body it took, when any) on a drive kept on one.
TEST(ParkReason, ATooLargeBodyBlamesWhoRefusedIt) {
  fuse::ParkedChange change{true, 5000, {}};
  auto tooBig = cocoaError(CocoaError::fileWriteOutOfSpace);
  EXPECT_EQ(fuse::parkReason(tooBig, change, "", std::nullopt),
            "too large for the companion: 5000 bytes (4.9 KiB); it stays here: make the file "
            "smaller or raise the companion's limit (its --max-file-size), then save the file "
            "again");
  fuse::ServerState server;
  server.url = "http://127.0.0.1:8080/drive/";
  EXPECT_EQ(fuse::parkReason(tooBig, change, "", server),
            "the server at http://127.0.0.1:8080/drive/ refused it as too large: 5000 bytes (4.9 "
            "KiB); it stays here: make the file smaller or raise the server's limit on the size "
            "of uploads (Apache: LimitRequestBody; nginx: client_max_body_size), then save the "
            "file again");
  server.largestTaken = 2048;
  EXPECT_THAT(fuse::parkReason(tooBig, change, "", server),
              ::testing::HasSubstr("(4.9 KiB); the largest body it has taken is 2048 bytes (2.0 "
                                   "KiB); it stays here"));
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
