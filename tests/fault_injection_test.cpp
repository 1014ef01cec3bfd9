// A companion that goes away at every byte of an exchange: each cut is the host's -1004, answered
// once, with nothing left behind.
#include <gtest/gtest.h>

#include "boundaries/file_provider_error.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

class FaultInjectionTest : public DriveFixture {
 protected:
  FaultInjectionTest() { companion(); }
  std::size_t leftovers() const {
    auto dir = temporaryDirectory();
    if (!std::filesystem::exists(dir)) return 0;
    return std::distance(std::filesystem::directory_iterator(dir), {});
  }
  std::shared_ptr<FileProviderExtension> extension_ = FileProviderExtension::create(domain_);
  const Error unreachable_ = fileProviderError(FileProviderError::serverUnreachable);
};

TEST_F(FaultInjectionTest, ReplyCutAtEveryByteFailsAndLeavesNoFile) {
  const std::string reply = frame(R"({"size":64})", std::string(64, 'b'));
  for (std::size_t cut = 0; cut <= reply.size(); ++cut) {
    companion().enqueue(Answer::reply(kItemReply));
    companion().enqueue(Answer::raw(reply.substr(0, cut)));
    Calls<FetchAnswer> answer;
    extension_->fetchContents(ItemIdentifier("a"), std::nullopt, {}, recordInto(answer));
    auto fetched = answer.get();
    if (cut < reply.size()) {
      EXPECT_EQ(fetched.error, unreachable_) << "cut at " << cut;
      EXPECT_FALSE(fetched.file) << "cut at " << cut;
    } else {
      ASSERT_FALSE(fetched.error) << fetched.error->code();
      EXPECT_EQ(readWholeFile(*fetched.file), std::string(64, 'b'));
      std::filesystem::remove(*fetched.file);
    }
    EXPECT_EQ(answer.count(), 1u);
  }
  EXPECT_EQ(leftovers(), 0u);
}

TEST_F(FaultInjectionTest, UploadCutAtEveryByteFails) {
  auto contents = localFile("upload", std::string(200, 'u'));
  auto item = std::make_shared<HostItem>();
  item->name = "up.bin";
  const std::string json = R"({"op":"create","parent":"1","name":"up.bin","dir":false,"size":200})";
  // Up to the whole request read and then no reply: every one is the same failure.
  for (std::size_t cut = 0; cut <= 4 + json.size() + 200; ++cut) {
    companion().enqueue(Answer::closeAfterReading(cut));
    Calls<ChangeAnswer> answer;
    extension_->createItem(item, ~ItemFields{0}, contents, 0, {}, recordInto(answer));
    EXPECT_EQ(answer.get().error, unreachable_) << "cut at " << cut;
    EXPECT_EQ(answer.count(), 1u);
  }
  EXPECT_EQ(companion().requests().back().raw.size(), 4 + json.size() + 200);
}

}  // namespace
}  // namespace QuorvelleDrive::testing
