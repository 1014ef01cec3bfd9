// The built program: start-up and shutdown rules, the container it serves in, and a crash in the
// middle of a write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <thread>

#include "companion/companion_fixture.h"
#include "hosts/child_process.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

// An anchor request, which any companion that serves answers.
const std::string kAnchor = requestFrame({{"op", "anchor"}});

class CompanionProcessTest : public ::testing::Test {
 protected:
  fs::path containers() const { return temp_.path() / "c"; }
  fs::path socket() const { return containers() / "g" / "drive.sock"; }
  fs::path store() const { return temp_.path() / "store"; }
  std::vector<std::string> arguments(const std::string& group = "g") const {
    return {"--store", store().string(), "--group", group, "--containers", containers().string()};
  }
  std::unique_ptr<BackgroundProgram> launchServing() {
    auto child = std::make_unique<BackgroundProgram>(QD_COMPANION_BINARY, arguments(),
                                                     cleanEnvironment(temp_.path()));
    EXPECT_TRUE(eventually([&] { return exchangeWord(socket(), kAnchor).empty(); }));
    return child;
  }

  TempDir temp_;
};

TEST_F(CompanionProcessTest, StopSignalsEndCleanlyAndAKilledOnesSocketIsReplaced) {
  // A container that starts out open is made private.
  fs::create_directories(socket().parent_path());
  ::chmod(socket().parent_path().c_str(), 0777);
  for (int number : {SIGINT, SIGTERM}) {
    auto child = launchServing();
    EXPECT_EQ(modeOf(socket().parent_path()), 0700u);
    child->signal(number);
    EXPECT_EQ(child->wait(), 0) << strsignal(number);
    EXPECT_FALSE(fs::exists(socket())) << strsignal(number);
  }
  auto killed = launchServing();
  killed->signal(SIGKILL);
  killed->wait();
  ASSERT_TRUE(fs::exists(socket())) << "a killed companion leaves its socket behind";
  launchServing();
}

TEST_F(CompanionProcessTest, RefusesAnotherCompanionsSocketOrStoreAndAnotherUsersContainer) {
  auto first = launchServing();
  std::vector<std::pair<std::string, std::string>> cases = {
      {"g", "another companion is already serving"},
      {"other", "in use by another companion"},
  };
  fs::create_directories(containers() / "theirs");
  bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((containers() / "theirs").c_str(), kStranger, kStranger), 0);
    cases.emplace_back("theirs", "belongs to uid 54321");
  }
  for (auto& [group, message] : cases) {
    auto second = runProgram(QD_COMPANION_BINARY, arguments(group), cleanEnvironment(temp_.path()),
                             std::chrono::seconds(10));
    EXPECT_EQ(second.status, 1) << message;
    EXPECT_NE(second.err.find(message), std::string::npos) << second.err;
  }
  EXPECT_FALSE(fs::exists(containers() / "theirs" / "drive.sock"));
  EXPECT_EQ(exchangeWord(socket(), kAnchor), "");
  if (!root) GTEST_SKIP() << "needs root to hand a container to another user";
}

// Killed at random moments during 200 writes of random sizes: after every restart each file holds
// what was last confirmed or what was being written, and the index matches the files.
TEST_F(CompanionProcessTest, KilledAtRandomMomentsKeepsEveryFileWholeAndTheIndexTrue) {
  struct File {
    std::string id, confirmed, inFlight;
  };
  std::mt19937 random(20261207);
  std::vector<File> files(4);
  auto child = launchServing();
  AppClient client(socket().string());
  auto bytesOf = [](const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); };
  for (std::size_t f = 0; f < files.size(); ++f) {
    files[f].confirmed = "start " + std::to_string(f);
    auto made = client.call(fileRequest("1", "f" + std::to_string(f), files[f].confirmed),
                            bytesOf(files[f].confirmed));
    files[f].id = std::string(made.json.at("item").at("id").as_string());
  }
  auto restartAndCheck = [&](File* written) {
    child->signal(SIGKILL);  // a no-op when the killer got there first
    child->wait();
    auto restarted = launchServing();  // its start-up scan, then a clean stop
    restarted->signal(SIGTERM);
    EXPECT_EQ(restarted->wait(), 0);
    auto check = runProgram(QD_COMPANION_BINARY, {"--store", store().string(), "--check"}, {});
    EXPECT_EQ(check.status, 0) << check.err;
    for (auto& file : files) {
      auto now = readWholeFile(store() / ("f" + std::to_string(&file - files.data())));
      if (&file == written && now == file.inFlight) file.confirmed = now;
      // Not EXPECT_EQ, which would print up to 300 KB of each.
      EXPECT_TRUE(now == file.confirmed) << "a file holds neither old nor new bytes";
    }
    child = launchServing();
  };
  int kills = 0, cutWrites = 0;
  for (int w = 0; w < 200; ++w) {
    File& file = files[random() % files.size()];
    file.inFlight = std::string(random() % 300'000, static_cast<char>('a' + w % 26));
    std::optional<std::thread> killer;
    if (random() % 5 == 0)
      killer.emplace([&, delay = random() % 3000] {
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        child->signal(SIGKILL);
      });
    try {
      auto base = client.call({{"op", "item"}, {"id", file.id}}).json.at("item").at("version");
      client.call(writeRequest(file.id, file.inFlight, std::string(base.as_string())),
                  bytesOf(file.inFlight));
      file.confirmed = file.inFlight;
    } catch (const std::exception&) {
      ++cutWrites;  // cut off by the kill: either contents may be there
    }
    if (killer) {
      killer->join();
      ++kills;
      restartAndCheck(&file);
    }
  }
  restartAndCheck(nullptr);
  EXPECT_GT(kills, 20);
  RecordProperty("kills", kills);  // the figures the README reports
  RecordProperty("cutWrites", cutWrites);
}

}  // namespace
}  // namespace QuorvelleDrive::testing
