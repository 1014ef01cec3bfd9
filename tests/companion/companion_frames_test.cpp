// Frames the extension would never send: the companion drops them and keeps serving, and the
// store is untouched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/mount.h>

#include "companion/companion_fixture.h"
#include "companion/framing.h"

namespace QuorvelleDrive::testing {
namespace {

using ::testing::ElementsAre;

using CompanionFramesTest = CompanionTest;

bool nothingStaged(const std::filesystem::path& store) {
  return std::filesystem::is_empty(store / ".quorvelle" / "staging");
}

using qc::frameHeader;

// Cut short: dropped without a reply. Longer than a request needs, or unreadable: badRequest.
// Exactly at the cap: served. None of them changes the store or leaves staged bytes behind.
TEST_F(CompanionFramesTest, BadFramesAreDroppedOrRefusedAndChangeNothing) {
  std::string id = createFile("1", "a", "old");
  std::uint64_t before = anchor();
  std::string atTheCap = R"({"op":"anchor","pad":")";
  atTheCap += std::string(qc::kMaxRequestJSON - atTheCap.size() - 2, 'x') + "\"}";
  // clang-format off
  std::vector<std::tuple<const char*, std::string, const char*>> cases = {
      {"length over 64 KiB", frameHeader(qc::kMaxRequestJSON + 1) + "{}", "badRequest"},
      {"64 MiB of zeros announced", frameHeader(64 << 20) + "[0,0,0,0", "badRequest"},
      {"cut after the length", frameHeader(30), "<closed>"},
      {"cut inside the JSON", frameHeader(30) + R"({"op":"cre)", "<closed>"},
      {"cut inside a new file's body", requestFrame(fileRequest("1", "x", std::string(100, 'x')), "partial"), "<closed>"},
      {"cut inside a write's body", requestFrame(writeRequest(id, std::string(1'000'000, 'n'), version(id)), std::string(500'000, 'n')), "<closed>"},
      {"not JSON", frameHeader(5) + "hello", "badRequest"},
      {"an array", frameHeader(2) + "[]", "badRequest"},
      {"empty text", frameHeader(0), "badRequest"},
      {"invalid UTF-8", frameHeader(11) + "{\"op\":\"\xFF\xFE\"}", "badRequest"},
      {"size as text", requestFrame({{"op", "anchor"}, {"size", "3"}}), "badRequest"},
      {"fractional size", requestFrame({{"op", "anchor"}, {"size", 1.5}}), "badRequest"},
      {"exactly at the cap", frameHeader(qc::kMaxRequestJSON) + atTheCap, ""},
  };
  // clang-format on
  for (auto& [what, bytes, word] : cases) EXPECT_EQ(rawWord(bytes), word) << what;
  EXPECT_THAT(names("1"), ElementsAre("a"));
  EXPECT_EQ(contents(id), "old");
  EXPECT_EQ(anchor(), before);
  EXPECT_TRUE(eventually([&] { return nothingStaged(store()); }));
}

TEST_F(CompanionFramesTest, OnlyTheAnnouncedBodyIsKept) {
  EXPECT_EQ(rawWord(requestFrame(fileRequest("1", "a", "abc"), "abcdefgh")), "");
  EXPECT_EQ(readWholeFile(store() / "a"), "abc");
}

// A read's bytes go from the file straight onto the socket; a client that leaves with most of
// them unread ends only its own exchange (no SIGPIPE reaches the process).
TEST_F(CompanionFramesTest, AClientLeavingMidReadEndsOnlyItsExchange) {
  std::string bytes(16 << 20, 'r');
  std::string id = createFile("1", "big", bytes);
  {
    RawConnection reader(socket());
    ASSERT_TRUE(reader.send(requestFrame({{"op", "read"}, {"id", id}})));
    auto reply = reader.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->at("size"), bytes.size());
  }
  EXPECT_EQ(contents(id), bytes);
}

// A store on a 512 KiB filesystem: bytes that do not fit are refused with noSpace, and nothing
// that was there before is lost.
TEST_F(CompanionFramesTest, AFullDiskRefusesTheBytesAndKeepsWhatWasThere) {
  stop();
  std::filesystem::remove_all(store());
  std::filesystem::create_directories(store());
  if (::mount("tmpfs", store().c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "cannot mount a small filesystem: " << std::strerror(errno);
  struct Unmount {
    std::filesystem::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{store()};
  start();
  std::string id = createFile("1", "a", "old");
  const std::string tooMuch(1 << 20, 'x');
  EXPECT_EQ(word(writeRequest(id, tooMuch, version(id)), tooMuch), "noSpace");
  EXPECT_EQ(word(fileRequest("1", "b", tooMuch), tooMuch), "noSpace");
  EXPECT_EQ(contents(id), "old");
  EXPECT_THAT(names("1"), ElementsAre("a"));
  EXPECT_TRUE(nothingStaged(store()));
  call(writeRequest(id, "new", version(id)), "new");
  EXPECT_EQ(contents(id), "new");
  stop();
}

}  // namespace
}  // namespace QuorvelleDrive::testing
