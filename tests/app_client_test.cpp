#include "channel/app_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <tuple>

#include "boundaries/file_provider_error.h"
#include "channel/unavailable.h"
#include "companion/framing.h"
#include "platform/file_manager.h"
#include "support/drive_fixture.h"
#include "support/fake_companion.h"
#include "support/temp_dir.h"

namespace QuorvelleDrive::testing {
namespace {

class AppClientTest : public ::testing::Test {
 protected:
  std::filesystem::path socketPath() const { return temp_.path() / "drive.sock"; }
  Reply call(const json::object& request = {{"op", "item"}},
             std::optional<std::span<const std::byte>> body = std::nullopt) {
    return AppClient(socketPath().string()).call(request, body);
  }

  TempDir temp_;
  FakeCompanion companion_{socketPath()};
};

// What a call ended in: "ok", "unavailable", or "error:<domain>:<code>".
std::string outcome(const std::function<void()>& exchange) {
  try {
    exchange();
    return "ok";
  } catch (const Unavailable&) {
    return "unavailable";
  } catch (const Error& e) {
    return "error:" + e.domain() + ":" + std::to_string(e.code());
  }
}

struct FailureCase {
  const char* name;
  Answer answer;
  const char* expected;
};

TEST_F(AppClientTest, BadRepliesFailAsTheFailureTableSays) {
  const std::string hugeLength = companion::frameHeader(67'108'865);
  const FailureCase cases[] = {
      {"closed before reading", Answer::closeWithoutReading(), "unavailable"},
      {"cut after the length", Answer::raw(companion::frameHeader(20)), "unavailable"},
      {"cut in the JSON", Answer::raw(companion::frameHeader(20) + "{\"a\":"), "unavailable"},
      {"cut in the body", Answer::reply(R"({"size":10})", "12345"), "unavailable"},
      {"cut in the length", Answer::raw(std::string("\0\0", 2)), "unavailable"},
      {"nothing at all", Answer::raw(""), "unavailable"},
      {"length over the cap", Answer::raw(hugeLength + "{}"), "unavailable"},
      {"empty JSON text", Answer::reply(""), "error:NSCocoaErrorDomain:3840"},
      {"malformed JSON", Answer::reply("{\"a\""), "error:NSCocoaErrorDomain:3840"},
      {"bare string", Answer::reply("\"hello\""), "error:NSCocoaErrorDomain:3840"},
      {"bare number", Answer::reply("12"), "error:NSCocoaErrorDomain:3840"},
      {"array", Answer::reply("[1,2]"), "unavailable"},
      {"negative size", Answer::reply(R"({"size":-1})"), "unavailable"},
      {"size beyond memory", Answer::reply(R"({"size":1e300})"), "unavailable"},
      {"size beyond int64", Answer::reply(R"({"size":18446744073709551615})"), "unavailable"},
      {"error word before size", Answer::reply(R"({"error":"notFound","size":10})"),
       "error:NSFileProviderErrorDomain:-1005"},
      {"unknown error word", Answer::reply(R"({"error":"Nope"})"),
       "error:NSFileProviderErrorDomain:-2005"},
  };
  for (const auto& c : cases) {
    companion_.enqueue(c.answer);
    EXPECT_EQ(outcome([&] { call(); }), c.expected) << c.name;
  }
}

TEST_F(AppClientTest, RequestFrameCountsJSONOnlyAndBodyFollows) {
  const std::string body(1000, 'b');
  json::object request{{"op", "writ"}, {"size", 1000}};  // 25 bytes of compact JSON
  call(request, std::as_bytes(std::span(body.data(), body.size())));
  ASSERT_TRUE(companion_.waitForRequests(1));
  auto recorded = companion_.requests().at(0);
  ASSERT_EQ(recorded.raw.size(), 1029u);
  EXPECT_EQ(recorded.raw.substr(0, 4), std::string("\0\0\0\x19", 4));
  EXPECT_EQ(recorded.raw.substr(4, 25), R"({"op":"writ","size":1000})");
  EXPECT_EQ(recorded.body, body);

  // JSON far beyond the socket's buffer leaves in several writes and arrives whole.
  const std::string big(3 << 20, 'j');
  call({{"op", big}});
  ASSERT_TRUE(companion_.waitForRequests(2));
  EXPECT_EQ(companion_.requests().at(1).raw, frame(R"({"op":")" + big + R"("})"));

  // A present but empty body adds nothing after the JSON.
  call({{"op", "x"}}, std::span<const std::byte>());
  ASSERT_TRUE(companion_.waitForRequests(3));
  EXPECT_EQ(companion_.requests().at(2).raw, frame(R"({"op":"x"})"));
}

// Only a string "error" is an error word, and only a number (or true, as 1) announces a body;
// bytes beyond the announced body are ignored.
TEST_F(AppClientTest, ReplyKeysAndBodies) {
  const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
      {R"({"error":3,"id":"a"})", "", std::nullopt},
      {R"({"error":true})", "", std::nullopt},
      {R"({"size":0})", "", ""},
      {R"({"ok":1})", "trailing bytes", std::nullopt},
      {R"({"size":"5"})", "12345", std::nullopt},
      {R"({"size":5})", "12345extra", "12345"},
      {R"({"size":true})", "Z", "Z"},
  };
  for (const auto& [text, body, expected] : cases) {
    companion_.enqueue(Answer::reply(text, body));
    Reply reply = call();
    EXPECT_EQ(reply.json, parseObject(text));
    EXPECT_EQ(reply.body ? std::optional(reply.body->text()) : std::nullopt, expected) << text;
  }
}

TEST_F(AppClientTest, ReplyLengthCapIsInclusive) {
  const std::size_t cap = AppClient::kMaxReplyJSON;
  std::string json = "{\"pad\":\"" + std::string(cap - 10, 'p') + "\"}";
  ASSERT_EQ(json.size(), cap);
  companion_.enqueue(Answer::reply(json));
  EXPECT_EQ(call().json.at("pad").as_string().size(), cap - 10);
}

TEST_F(AppClientTest, PathOf103BytesConnectsAnd104DoesNot) {
  std::string path = temp_.path().string() + "/";
  path += std::string(103 - path.size(), 's');
  FakeCompanion listener(path);
  EXPECT_EQ(outcome([&] { AppClient(path).call({{"op", "x"}}); }), "ok");
  // One byte more must fail, not reach the socket its first 103 bytes name.
  EXPECT_EQ(outcome([&] { AppClient(path + "s").call({{"op", "x"}}); }), "unavailable");
  EXPECT_EQ(listener.connectionCount(), 1u);
}

TEST_F(AppClientTest, UnwritableRequestFailsWithWriterErrorAndWritesNothing) {
  EXPECT_EQ(outcome([&] {
              call({{"op", "item"}, {"id", "bad\xff"}});
            }),
            "error:NSCocoaErrorDomain:3852");
  EXPECT_EQ(outcome([&] {
              AppClient((temp_.path() / "nobody.sock").string()).call({{"id", "bad\xff"}});
            }),
            "unavailable");
  ASSERT_TRUE(eventually([&] { return companion_.connectionCount() >= 1; }));
  // A well-formed call after it shows that the first connection carried no bytes at all.
  call({{"op", "next"}});
  ASSERT_TRUE(companion_.waitForRequests(1));
  EXPECT_EQ(companion_.connectionCount(), 2u);
  ASSERT_EQ(companion_.requests().size(), 1u);
  EXPECT_EQ(companion_.requests().at(0).raw, frame(R"({"op":"next"})"));
}

// A missing container is made private to this user; a group that is no plain name has none.
TEST(AppClientCreate, MakesAMissingContainerPrivate) {
  TempDir root;
  FileManager::setDefaultManager(nullptr);
  FileManager::setContainersRoot(root.path() / "containers");
  for (const char* group : {"", "..", ".", "a/b"})
    EXPECT_FALSE(AppClient::create(group).has_value()) << group;
  auto client = AppClient::create("group.absent");
  ASSERT_TRUE(client.has_value());
  EXPECT_EQ(client->path(), (root.path() / "containers/group.absent/drive.sock").string());
  for (const auto& folder : {root.path() / "containers", root.path() / "containers/group.absent"})
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace QuorvelleDrive::testing
