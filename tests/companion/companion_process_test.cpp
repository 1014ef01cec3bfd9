// The built program: start-up and shutdown rules, and a crash in the middle of a write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <random>
#include <thread>

#include "companion/companion_fixture.h"
#include "hosts/child_process.h"

extern char** environ;

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

// quorvelle-companion in a child process; killed on destruction if still running.
class Child {
 public:
  Child(const std::vector<std::string>& args, const fs::path& log) {
    std::vector<std::string> argv = {QD_COMPANION_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  void signal(int number) { ::kill(pid_, number); }
  // The exit status, or 128 + the signal that ended it.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

bool answers(const fs::path& socket) {
  RawConnection connection(socket);
  return connection.send(requestFrame({{"op", "anchor"}})) && connection.receive().has_value();
}

class CompanionProcessTest : public ::testing::Test {
 protected:
  fs::path containers() const { return temp_.path() / "c"; }
  fs::path socket() const { return containers() / "g" / "drive.sock"; }
  fs::path store() const { return temp_.path() / "store"; }
  fs::path log() const { return temp_.path() / "log"; }
  std::unique_ptr<Child> launch(const std::string& group = "g") {
    return std::make_unique<Child>(
        std::vector<std::string>{"--store", store().string(), "--group", group, "--containers",
                                 containers().string()},
        log());
  }
  std::unique_ptr<Child> launchServing() {
    auto child = launch();
    EXPECT_TRUE(eventually([&] { return answers(socket()); }));
    return child;
  }

  TempDir temp_;
};

TEST_F(CompanionProcessTest, StopSignalsEndCleanlyAndRemoveTheSocket) {
  for (int number : {SIGINT, SIGTERM}) {
    auto child = launchServing();
    struct stat st;
    ASSERT_EQ(::stat(socket().parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    child->signal(number);
    EXPECT_EQ(child->wait(), 0) << strsignal(number);
    EXPECT_FALSE(fs::exists(socket())) << strsignal(number);
  }
}

TEST_F(CompanionProcessTest, RefusesToStartWhileAnotherServesTheSocketOrTheStore) {
  auto first = launchServing();
  std::vector<std::pair<std::string, std::string>> cases = {
      {"g", "another companion is already serving"},
      {"other", "in use by another companion"},
  };
  for (auto& [group, message] : cases) {
    auto second = launch(group);
    EXPECT_EQ(second->wait(), 1) << message;
    EXPECT_NE(readWholeFile(log()).find(message), std::string::npos) << readWholeFile(log());
  }
  EXPECT_TRUE(answers(socket()));
}

TEST_F(CompanionProcessTest, ReplacesAStaleSocket) {
  fs::create_directories(socket().parent_path());
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket().c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);  // the file stays, nobody listens
  }
  auto child = launchServing();
}

TEST_F(CompanionProcessTest, KillDuringALargeWriteKeepsTheOldContents) {
  std::string id, before;
  std::uint64_t anchor = 0;
  {
    auto child = launchServing();
    AppClient client(socket().string());
    std::string old = "old contents";
    auto created = client.call({{"op", "create"},
                                {"parent", "1"},
                                {"name", "big.bin"},
                                {"dir", false},
                                {"size", old.size()}},
                               std::as_bytes(std::span(old.data(), old.size())));
    id = std::string(created.json.at("item").at("id").as_string());
    before = std::string(created.json.at("item").at("version").as_string());
    anchor = client.call({{"op", "anchor"}}).json.at("anchor").to_number<std::uint64_t>();

    RawConnection writer(socket());
    ASSERT_TRUE(writer.send(
        requestFrame({{"op", "write"}, {"id", id}, {"size", 64 << 20}, {"base", before}},
                     std::string(32 << 20, 'n'))));
    child->signal(SIGKILL);
    EXPECT_EQ(child->wait(), 128 + SIGKILL);
  }
  EXPECT_EQ(readWholeFile(store() / "big.bin"), "old contents");

  fs::path restarted = temp_.path() / "r.sock";
  qc::Companion companion({store(), restarted, false, std::nullopt});
  AppClient client(restarted.string());
  auto item = client.call({{"op", "item"}, {"id", id}}).json.at("item");
  EXPECT_EQ(item.at("version"), json::value(before));
  EXPECT_EQ(item.at("size"), 12u);
  EXPECT_EQ(client.call({{"op", "anchor"}}).json.at("anchor"), anchor);
  EXPECT_EQ(client.call({{"op", "all"}}).json.at("items").as_array().size(), 1u);
  EXPECT_TRUE(fs::is_empty(store() / ".quorvelle" / "staging"));
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
    auto made = client.call({{"op", "create"},
                             {"parent", "1"},
                             {"name", "f" + std::to_string(f)},
                             {"dir", false},
                             {"size", files[f].confirmed.size()}},
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
      EXPECT_EQ(now.size(), file.confirmed.size()) << "a file holds neither old nor new bytes";
      EXPECT_EQ(now, file.confirmed);
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
      client.call(
          {{"op", "write"}, {"id", file.id}, {"size", file.inFlight.size()}, {"base", base}},
          bytesOf(file.inFlight));
      file.confirmed = file.inFlight;
    } catch (const std::exception&) {
      ++cutWrites;
    }
    if (killer) {
      killer->join();
      ++kills;
      restartAndCheck(&file);
    }
  }
  restartAndCheck(nullptr);
  EXPECT_GT(kills, 20);
  RecordProperty("kills", kills);
  RecordProperty("cutWrites", cutWrites);
  std::cout << kills << " kills, " << cutWrites << " writes cut short\n";
}

}  // namespace
}  // namespace QuorvelleDrive::testing
