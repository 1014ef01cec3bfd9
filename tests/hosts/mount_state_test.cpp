// The mount's state folder and its life: one live mount per state, Ctrl-C, a full state folder,
// and one fetch for many opens.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <signal.h>

#include <atomic>
#include <thread>

#include "hosts/mount_fixture.h"
#include "support/fake_companion.h"
#include "support/tmpfs.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A second mount of the same group and domain is refused, naming the live one, and touches none
// of its files; Ctrl-C then unmounts the first cleanly.
TEST_F(MountTest, OneLiveMountPerStateAndCtrlCUnmounts) {
  auto bytes = binaryBytes(300'000, 7);
  int fd = ::open(in("busy.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), 100'000), 100'000);
  fs::create_directories(temp_.path() / "mnt2");
  auto second = runProgram(QD_QDRIVE_BINARY,
                           inGroup({"mount", (temp_.path() / "mnt2").string(), "--no-companion"}),
                           env(), std::chrono::seconds(15));
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("already mounted on " + mountpoint().string()), std::string::npos)
      << second.err;
  if (isMounted(temp_.path() / "mnt2")) {
    ADD_FAILURE() << "the second mount came up";
    runProgram("/usr/bin/fusermount3", {"-u", (temp_.path() / "mnt2").string()}, env());
  }
  ASSERT_EQ(::write(fd, bytes.data() + 100'000, 200'000), 200'000);
  EXPECT_EQ(::close(fd), 0) << std::strerror(errno);
  ASSERT_TRUE(landed());
  EXPECT_TRUE(readWholeFile(store() / "busy.bin") == bytes);

  mount_->signal(SIGINT);
  EXPECT_EQ(mount_->wait(), 0);
  mount_.reset();
  EXPECT_FALSE(isMounted(mountpoint()));
  EXPECT_NE(readWholeFile(mountLog()).find("qdrive: unmounted " + mountpoint().string()),
            std::string::npos)
      << readWholeFile(mountLog());
}

// A change that cannot be kept (state folder full) fails its request with ENOSPC; the mount
// serves on, and what is written once there is room lands when the companion is back.
TEST_F(MountTest, AFullStateFolderFailsTheWriteAndTheMountServesOn) {
  put(in("big.bin"), "");
  ASSERT_TRUE(landed());
  unmount();
  fs::path small = temp_.path() / "small";
  Tmpfs disk(small, "1m");
  if (!disk.failure().empty()) GTEST_SKIP() << disk.failure();
  stateHome_ = small;
  mount();
  ASSERT_TRUE(fs::exists(in("big.bin")));  // listed while the companion answers
  companion_.reset();                      // every change now waits in the outbox
  auto bytes = binaryBytes(64 * 1024, 8);
  {
    std::ofstream filler(small / "filler", std::ios::binary);
    while (filler << bytes) {
    }
  }
  int err = 0;
  int fd = ::open(in("big.bin").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) err = errno;
  for (int i = 0; fd >= 0 && !err && i < 64; ++i)
    if (::write(fd, bytes.data(), bytes.size()) < 0) err = errno;
  if (fd >= 0 && ::close(fd) != 0 && !err) err = errno;
  EXPECT_EQ(err, ENOSPC) << std::strerror(err);
  EXPECT_TRUE(fs::exists(in("big.bin"))) << "the mount stopped serving";
  fs::remove(small / "filler");
  put(in("big.bin"), bytes);
  EXPECT_TRUE(readWholeFile(in("big.bin")) == bytes);
  startCompanion();
  EXPECT_TRUE(storeEventuallyHolds("big.bin", bytes));
}

TEST_F(MountTest, ConcurrentOpensOfOneItemShareOneFetch) {
  unmount();
  companion_.reset();
  auto bytes = binaryBytes(200'000, 9);
  std::string file = R"({"id":"2","parent":"1","name":"big.bin","dir":false,"writable":true,)"
                     R"("version":"v1","mtime":1e9,"size":200000})";
  FakeCompanion fake(socket());
  fake.setFallback([&](const RecordedRequest& request) {
    auto op = request.json.at("op").as_string();
    auto id = request.json.if_contains("id");
    if (op == "anchor") return Answer::reply(R"({"anchor":1})");
    if (op == "list") return Answer::reply(R"({"items":[)" + file + "]}");
    if (op == "item" && id && *id == "1")
      return Answer::reply(R"({"item":{"id":"1","parent":"1","name":"","dir":true}})");
    if (op == "item") return Answer::reply(R"({"item":)" + file + "}");
    if (op == "read") return Answer::hold(Answer::reply(R"({"size":200000})", bytes));
    return Answer::reply("{}");
  });
  mount();
  std::atomic<int> whole{0}, done{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i)
    readers.emplace_back([&] {
      if (readWholeFile(in("big.bin")) == bytes) ++whole;
      ++done;
    });
  EXPECT_TRUE(fake.waitForHeld(1));
  EXPECT_FALSE(fake.waitForHeld(2, 1500ms)) << "a second fetch of the same item started";
  while (done < 4) {
    fake.release();
    std::this_thread::sleep_for(20ms);
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(whole.load(), 4);
  int reads = 0;
  for (const auto& request : fake.requests()) reads += request.json.at("op") == "read";
  EXPECT_EQ(reads, 1);
  unmount();
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif
