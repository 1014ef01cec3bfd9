// The built program: start-up and shutdown rules, the container it serves in, a crash in the
// middle of a write, and what idle clients, huge frames and resource limits cost it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "companion/companion_fixture.h"
#include "companion/framing.h"
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
  // Through `wrapper` (a program that runs the rest of its arguments), when one is given.
  std::unique_ptr<BackgroundProgram> launch(std::vector<std::string> wrapper = {},
                                            const fs::path& log = {}) {
    wrapper.push_back(QD_COMPANION_BINARY);
    auto args = arguments();
    args.insert(args.begin(), wrapper.begin() + 1, wrapper.end());
    return std::make_unique<BackgroundProgram>(wrapper.front(), args,
                                               cleanEnvironment(temp_.path()), log);
  }
  bool serving() {
    return eventually([&] { return exchangeWord(socket(), kAnchor).empty(); });
  }
  std::unique_ptr<BackgroundProgram> launchServing(std::vector<std::string> wrapper = {}) {
    auto child = launch(std::move(wrapper));
    EXPECT_TRUE(serving());
    return child;
  }
  std::vector<std::unique_ptr<RawConnection>> connect(int count) {
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int i = 0; i < count; ++i)
      connections.push_back(std::make_unique<RawConnection>(socket()));
    return connections;
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

// A number from /proc/PID/status: "Threads", or "VmRSS" in KiB.
long statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  return -1;
}

// 2,000 connections that send nothing: the companion answers meanwhile with a handful of threads
// (it had one per connection) and closes them after a few seconds. The figures go to the README.
TEST_F(CompanionProcessTest, IdleConnectionsTakeNoThreadAndAreClosed) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 2100)
    GTEST_SKIP() << "this process may not open 2,100 descriptors";
  auto child = launchServing();
  auto idle = connect(2000);
  EXPECT_EQ(exchangeWord(socket(), kAnchor), "");
  long threads = statusField(child->pid(), "Threads"),
       resident = statusField(child->pid(), "VmRSS");
  RecordProperty("threads", static_cast<int>(threads));
  RecordProperty("residentKiB", static_cast<int>(resident));
  EXPECT_LT(threads, 16);
  EXPECT_LT(resident, 256 * 1024);
  for (auto& connection : idle) ASSERT_TRUE(connection->closedByPeer());
}

// Frames announcing 64 MiB with nothing behind: refused at once, with nothing allocated for them.
TEST_F(CompanionProcessTest, FramesLongerThanARequestAreRefusedUnread) {
  auto child = launchServing();
  auto clients = connect(40);
  for (auto& client : clients) client->send(qc::frameHeader(64 << 20));
  for (auto& client : clients) {
    auto reply = client->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->at("error"), "badRequest");
  }
  EXPECT_LT(statusField(child->pid(), "VmRSS"), 256 * 1024);
  EXPECT_EQ(exchangeWord(socket(), kAnchor), "");
}

// 128 descriptors and 300 idle clients: the ones waiting longest give way to the user's request.
TEST_F(CompanionProcessTest, AtTheDescriptorLimitIdleClientsGiveWay) {
  auto child = launchServing({"/usr/bin/prlimit", "--nofile=128:128"});
  auto idle = connect(300);
  EXPECT_EQ(exchangeWord(socket(), kAnchor), "");
}

// Runs `work` on a thread whose effective uid alone is `uid` (the raw system call changes only
// the calling thread's credentials), for connections to a companion that serves that user only.
void asUser(uid_t uid, const std::function<void()>& work) {
  std::thread([&] {
    if (::syscall(SYS_setresuid, -1, uid, -1) != 0) return ADD_FAILURE() << "setresuid";
    work();
    ::syscall(SYS_setresuid, -1, 0, -1);
  }).join();
}

// Few threads may start (root is exempt from the task limit, so the companion runs as another
// user): idle clients cost none, and exchanges no worker can take wait for one.
TEST_F(CompanionProcessTest, UnderATaskLimitExchangesWaitInsteadOfAborting) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the companion as another user";
  for (const auto& folder : {store(), containers()}) {
    fs::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), kStranger, kStranger), 0);
  }
  ::chmod(temp_.path().c_str(), 0711);
  auto log = temp_.path() / "companion.log";
  // Six tasks: the companion's few at rest (one more under TSan), and one or two more.
  auto child = launch({"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups",
                       "/usr/bin/prlimit", "--nproc=6"},
                      log);
  asUser(kStranger, [&] { ASSERT_TRUE(serving()); });

  std::vector<std::unique_ptr<RawConnection>> idle, stalled, waiting;
  asUser(kStranger, [&] {
    idle = connect(50);
    stalled = connect(4);  // each holds a worker, reading a body that stops coming
    waiting = connect(1);
  });
  for (std::size_t i = 0; i < stalled.size(); ++i)
    stalled[i]->send(
        requestFrame(fileRequest("1", std::to_string(i), std::string(1000, 'x')), "x"));
  waiting[0]->send(kAnchor);
  EXPECT_TRUE(eventually(
      [&] { return readWholeFile(log).find("cannot start another thread") != std::string::npos; }));
  stalled.clear();
  auto reply = waiting[0]->receive();
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->contains("anchor"));
  EXPECT_TRUE(child->running());
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
