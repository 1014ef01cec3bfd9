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
using ::testing::IsEmpty;

class CompanionFramesTest : public CompanionTest {
 protected:
  std::vector<std::string> staged() {
    std::vector<std::string> out;
    for (auto& entry : std::filesystem::directory_iterator(store() / ".quorvelle" / "staging"))
      out.push_back(entry.path().filename().string());
    return out;
  }
};

using qc::frameHeader;

TEST_F(CompanionFramesTest, OversizedOrCutFramesAreDroppedWithoutReply) {
  std::uint64_t before = anchor();
  std::vector<std::pair<const char*, std::string>> cases = {
      {"length over 64 MiB", frameHeader(67'108'865) + "{}"},
      {"cut after the length", frameHeader(30)},
      {"cut inside the JSON", frameHeader(30) + R"({"op":"cre)"},
      {"cut inside the body",
       requestFrame(
           {{"op", "create"}, {"parent", "1"}, {"name", "x"}, {"dir", false}, {"size", 100}},
           "partial")},
  };
  for (auto& [what, bytes] : cases) {
    RawConnection connection(socket());
    ASSERT_TRUE(connection.send(bytes)) << what;
    connection.finishSending();
    EXPECT_TRUE(connection.closedByPeer()) << what;
  }
  EXPECT_THAT(names("1"), IsEmpty());
  EXPECT_EQ(anchor(), before);
  EXPECT_TRUE(eventually([&] { return staged().empty(); }));
}

TEST_F(CompanionFramesTest, UnreadableRequestsGetBadRequest) {
  std::vector<std::pair<const char*, std::string>> cases = {
      {"not JSON", frameHeader(5) + "hello"},
      {"an array", frameHeader(2) + "[]"},
      {"empty text", frameHeader(0)},
      {"invalid UTF-8", frameHeader(11) + "{\"op\":\"\xFF\xFE\"}"},
      {"size as text", requestFrame({{"op", "anchor"}, {"size", "3"}})},
      {"fractional size", requestFrame({{"op", "anchor"}, {"size", 1.5}})},
  };
  for (auto& [what, bytes] : cases) {
    RawConnection connection(socket());
    ASSERT_TRUE(connection.send(bytes)) << what;
    auto reply = connection.receive();
    ASSERT_TRUE(reply) << what;
    EXPECT_EQ(reply->at("error"), "badRequest") << what;
  }
}

TEST_F(CompanionFramesTest, FrameOfExactlyTheCapIsServed) {
  std::string text = R"({"op":"anchor","pad":")";
  text += std::string(67'108'864 - text.size() - 2, 'x') + "\"}";
  RawConnection connection(socket());
  ASSERT_TRUE(connection.send(frameHeader(static_cast<std::uint32_t>(text.size())) + text));
  auto reply = connection.receive();
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->contains("anchor"));
}

TEST_F(CompanionFramesTest, OnlyTheAnnouncedBodyIsKept) {
  RawConnection connection(socket());
  ASSERT_TRUE(connection.send(
      requestFrame({{"op", "create"}, {"parent", "1"}, {"name", "a"}, {"dir", false}, {"size", 3}},
                   "abcdefgh")));
  auto reply = connection.receive();
  ASSERT_TRUE(reply);
  std::string id(reply->at("item").at("id").as_string());
  EXPECT_EQ(contents(id), "abc");
}

TEST_F(CompanionFramesTest, DisconnectMidWriteLeavesTheOldContents) {
  std::string id = createFile("1", "a", "old");
  std::uint64_t before = anchor();
  {
    RawConnection connection(socket());
    ASSERT_TRUE(connection.send(
        requestFrame({{"op", "write"}, {"id", id}, {"size", 1'000'000}, {"base", version(id)}},
                     std::string(500'000, 'n'))));
  }
  EXPECT_TRUE(eventually([&] { return staged().empty(); }));
  EXPECT_EQ(contents(id), "old");
  EXPECT_EQ(anchor(), before);
  EXPECT_THAT(names("1"), ElementsAre("a"));
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
  EXPECT_EQ(
      word({{"op", "write"}, {"id", id}, {"size", tooMuch.size()}, {"base", version(id)}}, tooMuch),
      "noSpace");
  EXPECT_EQ(word({{"op", "create"},
                  {"parent", "1"},
                  {"name", "b"},
                  {"dir", false},
                  {"size", tooMuch.size()}},
                 tooMuch),
            "noSpace");
  EXPECT_EQ(contents(id), "old");
  EXPECT_THAT(names("1"), ElementsAre("a"));
  EXPECT_THAT(staged(), IsEmpty());
  call({{"op", "write"}, {"id", id}, {"size", 3}, {"base", version(id)}}, "new");
  EXPECT_EQ(contents(id), "new");
  stop();
}

}  // namespace
}  // namespace QuorvelleDrive::testing
