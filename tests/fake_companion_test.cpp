// The fixture's own framing, checked with a bare socket client so that a fault in the fixture
// cannot hide behind the same fault in the channel it is meant to test.
#include "support/fake_companion.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>

#include "support/temp_dir.h"

namespace {

using QuorvelleDrive::testing::Answer;
using QuorvelleDrive::testing::FakeCompanion;
using QuorvelleDrive::testing::frame;
using QuorvelleDrive::testing::RecordedRequest;
using QuorvelleDrive::testing::TempDir;

using namespace std::string_literals;

// A client that knows nothing but the socket calls.
class RawClient {
 public:
  explicit RawClient(const std::filesystem::path& path)
      : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int error = errno;
      ::close(fd_);
      throw std::system_error(error, std::generic_category(), "connect");
    }
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Sends what it can; a peer that has gone is not an error here.
  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  void closeWrite() { ::shutdown(fd_, SHUT_WR); }

  // Everything until the peer closes (a reset counts as closing).
  std::string readAll() {
    std::string out;
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) {
      out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
  }

  bool readable(std::chrono::milliseconds wait) {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) == 1;
  }

 private:
  int fd_;
};

std::string roundTrip(const std::filesystem::path& path, std::string_view request) {
  RawClient client(path);
  client.send(request);
  return client.readAll();
}

boost::json::object object(std::string_view text) {
  return text.empty() ? boost::json::object() : boost::json::parse(text).as_object();
}

class FakeCompanionTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path socket_ = dir_.path() / "s";
  std::unique_ptr<FakeCompanion> fake_ = std::make_unique<FakeCompanion>(socket_);
};

TEST(FrameTest, PrefixesJsonWithItsBigEndianLengthThenAppendsBody) {
  const std::string json(0x0102, 'j');
  EXPECT_EQ(frame(json, "body"), "\x00\x00\x01\x02"s + json + "body");
}

struct ReadCase {
  const char* name;
  std::string sent;
  const char* json;  // expected decoded object; empty when it must not decode
  std::string body;
};

class RequestReadingTest : public FakeCompanionTest,
                           public ::testing::WithParamInterface<ReadCase> {};

TEST_P(RequestReadingTest, RecordsRawBytesDecodedObjectAndAnnouncedBody) {
  const ReadCase& c = GetParam();
  EXPECT_EQ(roundTrip(socket_, c.sent), frame("{}"));
  const std::vector<RecordedRequest> requests = fake_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].raw, c.sent);
  EXPECT_EQ(requests[0].json, object(c.json));
  EXPECT_EQ(requests[0].body, c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RequestReadingTest,
    ::testing::Values(
        ReadCase{"SizedBody", frame(R"({"op":"put","size":5})", "hello"),
                 R"({"op":"put","size":5})", "hello"},
        ReadCase{"ZeroSize", frame(R"({"size":0})"), R"({"size":0})", ""},
        ReadCase{"BinaryBody", frame(R"({"size":3})", "\x00\xff\n"s), R"({"size":3})",
                 "\x00\xff\n"s},
        ReadCase{"BytesBeyondSizeStayOutOfBody", frame(R"({"size":2})", "abXYZ"), R"({"size":2})",
                 "ab"},
        ReadCase{"NoSize", frame(R"({"op":"list"})", "tail"), R"({"op":"list"})", ""},
        ReadCase{"SizeAsString", frame(R"({"size":"5"})", "hello"), R"({"size":"5"})", ""},
        ReadCase{"NegativeSize", frame(R"({"size":-1})", "x"), R"({"size":-1})", ""},
        ReadCase{"FractionalSize", frame(R"({"size":1.5})", "ab"), R"({"size":1.5})", ""},
        ReadCase{"NotAnObject", frame("[1,2]"), "", ""},
        ReadCase{"NotJson", frame("{oops"), "", ""}),
    [](const auto& info) { return info.param.name; });

class CutRequestTest : public FakeCompanionTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(CutRequestTest, IsRecordedAsFarAsItGotAndGetsNoAnswer) {
  const ReadCase& c = GetParam();
  RawClient client(socket_);
  client.send(c.sent);
  client.closeWrite();
  EXPECT_EQ(client.readAll(), "");
  ASSERT_TRUE(fake_->waitForRequests(1));
  const RecordedRequest request = fake_->requests().at(0);
  EXPECT_EQ(request.raw, c.sent);
  EXPECT_EQ(request.json, object(c.json));
  EXPECT_EQ(request.body, c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Places, CutRequestTest,
    ::testing::Values(ReadCase{"InHeader", "\x00\x00"s, "", ""},
                      ReadCase{"InJson", frame(R"({"size":1})").substr(0, 7), "", ""},
                      ReadCase{"InBody", frame(R"({"size":10})", "abc"), R"({"size":10})", "abc"}),
    [](const auto& info) { return info.param.name; });

TEST_F(FakeCompanionTest, ConnectionThatSendsNothingIsCountedButNotRecorded) {
  { RawClient silent(socket_); }
  EXPECT_EQ(roundTrip(socket_, frame("{}")), frame("{}"));
  EXPECT_EQ(fake_->connectionCount(), 2u);
  EXPECT_EQ(fake_->requests().size(), 1u);
}

struct ReplyCase {
  const char* name;
  Answer answer;
  std::string expected;
};

class ReplyBytesTest : public FakeCompanionTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyBytesTest, ArriveExactlyAsScripted) {
  fake_->enqueue(GetParam().answer);
  EXPECT_EQ(roundTrip(socket_, frame("{}")), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReplyBytesTest,
    ::testing::Values(
        ReplyCase{"TextWithBody", Answer::reply(R"({"a":1})", "xy"), "\0\0\0\x07{\"a\":1}xy"s},
        ReplyCase{"Object", Answer::reply(boost::json::object{{"a", 1}}), "\0\0\0\x07{\"a\":1}"s},
        ReplyCase{"RawGarbage", Answer::raw("\xff\x00garbage"s), "\xff\x00garbage"s},
        ReplyCase{"RawNothing", Answer::raw(""), ""},
        ReplyCase{"RawLargerThanSocketBuffer", Answer::raw(std::string(1 << 20, 'z')),
                  std::string(1 << 20, 'z')}),
    [](const auto& info) { return info.param.name; });

TEST_F(FakeCompanionTest, UsesEnqueuedAnswersInOrderThenAsksFallbackWithTheRequest) {
  fake_->enqueue(Answer::reply(R"({"n":1})"));
  fake_->enqueue(Answer::reply(R"({"n":2})"));
  fake_->setFallback([](const RecordedRequest& request) {
    return Answer::reply(boost::json::object{{"echo", request.json.at("op")}});
  });
  EXPECT_EQ(roundTrip(socket_, frame(R"({"op":"a"})")), frame(R"({"n":1})"));
  EXPECT_EQ(roundTrip(socket_, frame(R"({"op":"b"})")), frame(R"({"n":2})"));
  EXPECT_EQ(roundTrip(socket_, frame(R"({"op":"c"})")), frame(R"({"echo":"c"})"));
  EXPECT_EQ(roundTrip(socket_, frame(R"({"op":"d"})")), frame(R"({"echo":"d"})"));
}

TEST_F(FakeCompanionTest, AnswersFollowConnectionOrderNotRequestOrder) {
  fake_->enqueue(Answer::reply(R"({"n":1})"));
  fake_->enqueue(Answer::reply(R"({"n":2})"));
  RawClient first(socket_);
  RawClient second(socket_);
  second.send(frame("{}"));
  EXPECT_EQ(second.readAll(), frame(R"({"n":2})"));
  first.send(frame("{}"));
  EXPECT_EQ(first.readAll(), frame(R"({"n":1})"));
}

TEST_F(FakeCompanionTest, HeldAnswerIsWrittenOnlyAfterRelease) {
  fake_->enqueue(Answer::hold(Answer::reply(R"({"late":true})")));
  RawClient client(socket_);
  client.send(frame(R"({"op":"wait"})"));
  ASSERT_TRUE(fake_->waitForHeld(1));
  EXPECT_EQ(fake_->requests().at(0).json, object(R"({"op":"wait"})"));
  EXPECT_FALSE(client.readable(std::chrono::milliseconds(0)));
  fake_->release();
  EXPECT_EQ(client.readAll(), frame(R"({"late":true})"));
}

TEST_F(FakeCompanionTest, ReleaseLetsEveryHeldConnectionGo) {
  fake_->enqueue(Answer::hold(Answer::reply(R"({"n":1})")));
  fake_->enqueue(Answer::hold(Answer::reply(R"({"n":2})")));
  RawClient first(socket_);
  RawClient second(socket_);
  first.send(frame("{}"));
  second.send(frame("{}"));
  ASSERT_TRUE(fake_->waitForHeld(2));
  fake_->release();
  EXPECT_EQ(first.readAll(), frame(R"({"n":1})"));
  EXPECT_EQ(second.readAll(), frame(R"({"n":2})"));
}

TEST_F(FakeCompanionTest, ReleaseDoesNotPassAHoldReachedAfterIt) {
  fake_->enqueue(Answer::hold(Answer::reply(R"({"n":1})")));
  fake_->enqueue(Answer::hold(Answer::reply(R"({"n":2})")));
  RawClient first(socket_);
  first.send(frame("{}"));
  ASSERT_TRUE(fake_->waitForHeld(1));
  fake_->release();
  EXPECT_EQ(first.readAll(), frame(R"({"n":1})"));

  RawClient second(socket_);
  second.send(frame("{}"));
  ASSERT_TRUE(fake_->waitForHeld(1));
  EXPECT_FALSE(second.readable(std::chrono::milliseconds(0)));
  fake_->release();
  EXPECT_EQ(second.readAll(), frame(R"({"n":2})"));
}

TEST_F(FakeCompanionTest, CloseWithoutReadingRecordsNothingButCountsTheConnection) {
  fake_->enqueue(Answer::closeWithoutReading());
  EXPECT_EQ(roundTrip(socket_, frame(R"({"op":"first"})")), "");
  EXPECT_EQ(roundTrip(socket_, frame(R"({"op":"second"})")), frame("{}"));
  const std::vector<RecordedRequest> requests = fake_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].json, object(R"({"op":"second"})"));
  EXPECT_EQ(fake_->connectionCount(), 2u);
}

TEST_F(FakeCompanionTest, WaitsGiveUpWhenTheCountIsNotReached) {
  EXPECT_EQ(roundTrip(socket_, frame("{}")), frame("{}"));
  EXPECT_TRUE(fake_->waitForRequests(1));
  EXPECT_FALSE(fake_->waitForRequests(2, std::chrono::milliseconds(20)));
  EXPECT_FALSE(fake_->waitForHeld(1, std::chrono::milliseconds(20)));
}

TEST_F(FakeCompanionTest, DestructionClosesHeldConnectionUnanswered) {
  fake_->enqueue(Answer::hold());
  RawClient client(socket_);
  client.send(frame("{}"));
  ASSERT_TRUE(fake_->waitForHeld(1));
  fake_.reset();
  EXPECT_EQ(client.readAll(), "");
}

TEST_F(FakeCompanionTest, DestructionUnblocksConnectionWaitingForRequestBytes) {
  RawClient client(socket_);
  client.send(frame(R"({"size":100})", "partial"));
  fake_.reset();
  EXPECT_EQ(client.readAll(), "");
}

TEST_F(FakeCompanionTest, DestructionUnblocksConnectionWhoseClientStoppedReading) {
  const std::string huge(8 << 20, 'h');
  fake_->enqueue(Answer::raw(huge));
  RawClient client(socket_);
  client.send(frame("{}"));
  ASSERT_TRUE(client.readable(std::chrono::seconds(10)));
  fake_.reset();
  EXPECT_LT(client.readAll().size(), huge.size());
}

TEST(FakeCompanionSocketTest, ReplacesAFileAlreadyAtThePath) {
  TempDir dir;
  const std::filesystem::path socket = dir.path() / "s";
  std::ofstream(socket) << "stale";
  FakeCompanion fake(socket);
  EXPECT_EQ(roundTrip(socket, frame("{}")), frame("{}"));
}

TEST(TempDirTest, MakesAFreshShortDirectoryAndRemovesItsTree) {
  std::filesystem::path kept;
  {
    TempDir dir;
    TempDir other;
    kept = dir.path();
    EXPECT_TRUE(std::filesystem::is_directory(kept));
    EXPECT_NE(kept, other.path());
    EXPECT_LT(kept.native().size(), 20u);
    std::filesystem::create_directories(kept / "a" / "b");
    std::ofstream(kept / "a" / "b" / "f") << "x";
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

}  // namespace
