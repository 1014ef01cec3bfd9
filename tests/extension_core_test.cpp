#include <gtest/gtest.h>

#include <thread>

#include "boundaries/file_provider_error.h"
#include "platform/bundle.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

class ExtensionCoreTest : public DriveFixture {};

bool waitForCompletedUnits(const Progress& progress, std::int64_t units) {
  for (int i = 0; i < 1000 && progress.completedUnitCount() != units; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return progress.completedUnitCount() == units;
}

TEST_F(ExtensionCoreTest, ProgressCompletesOnlyAfterTheWork) {
  companion().enqueue(Answer::hold(Answer::reply(kItemReply)));
  auto extension = FileProviderExtension::create(domain_);
  Calls<ItemAnswer> answer;
  auto progress = extension->item(ItemIdentifier("a"), {}, recordInto(answer));
  EXPECT_EQ(progress->totalUnitCount(), 1);
  ASSERT_TRUE(companion().waitForHeld(1));
  EXPECT_EQ(progress->completedUnitCount(), 0);
  companion().release();
  EXPECT_TRUE(answer.get().item);
  EXPECT_NE(answer.thread(), std::this_thread::get_id());
  EXPECT_TRUE(waitForCompletedUnits(*progress, 1));
}

TEST_F(ExtensionCoreTest, ProgressCompletesAfterAnError) {
  companion().enqueue(Answer::reply(R"({"error":"notFound"})"));
  auto extension = FileProviderExtension::create(domain_);
  Calls<ItemAnswer> answer;
  auto progress = extension->item(ItemIdentifier("a"), {}, recordInto(answer));
  EXPECT_EQ(answer.get().error, fileProviderError(FileProviderError::noSuchItem));
  EXPECT_TRUE(waitForCompletedUnits(*progress, 1));
  EXPECT_EQ(answer.count(), 1u);
}

TEST_F(ExtensionCoreTest, MissingOrMistypedAppGroupMeansServerUnreachableWithoutConnecting) {
  companion();
  for (json::object info : {json::object{}, json::object{{"QuorvelleAppGroup", 7}},
                            json::object{{"QuorvelleAppGroup", ""}},
                            json::object{{"QuorvelleAppGroup", json::array{kTestGroup}}},
                            json::object{{"QuorvelleAppGroup", "group.absent"}}}) {
    Bundle::main().setInfoDictionary(info);
    auto extension = FileProviderExtension::create(domain_);
    Calls<ItemAnswer> answer;
    extension->item(ItemIdentifier("a"), {}, recordInto(answer));
    EXPECT_EQ(answer.get().error, fileProviderError(FileProviderError::serverUnreachable))
        << json::serialize(info);
  }
  EXPECT_EQ(companion().connectionCount(), 0u);
}

TEST_F(ExtensionCoreTest, ClientIsDecidedAtConstruction) {
  std::filesystem::remove_all(containerPath());
  auto extension = FileProviderExtension::create(domain_);
  std::filesystem::create_directories(containerPath());
  companion();
  Calls<ItemAnswer> answer;
  extension->item(ItemIdentifier("a"), {}, recordInto(answer));
  EXPECT_EQ(answer.get().error, fileProviderError(FileProviderError::serverUnreachable));
  EXPECT_EQ(companion().connectionCount(), 0u);
}

TEST_F(ExtensionCoreTest, LongExchangesProceedAtOnce) {
  for (int i = 0; i < 8; ++i) companion().enqueue(Answer::hold(Answer::reply(kItemReply)));
  auto extension = FileProviderExtension::create(domain_);
  std::vector<std::unique_ptr<Calls<ItemAnswer>>> answers;
  for (int i = 0; i < 8; ++i) {
    answers.push_back(std::make_unique<Calls<ItemAnswer>>());
    extension->item(ItemIdentifier("a"), {}, recordInto(*answers.back()));
  }
  EXPECT_TRUE(companion().waitForHeld(8));
  companion().release();
  for (auto& answer : answers) EXPECT_TRUE(answer->get().item);
}

TEST_F(ExtensionCoreTest, QueuedWorkOutlivesTheHostsReferenceAndInvalidate) {
  companion().enqueue(Answer::hold(Answer::reply(kItemReply)));
  Calls<ItemAnswer> answer;
  {
    auto extension = FileProviderExtension::create(domain_);
    extension->item(ItemIdentifier("a"), {}, recordInto(answer));
    extension->invalidate();
  }
  ASSERT_TRUE(companion().waitForHeld(1));
  companion().release();  // the last reference now goes on the extension's own queue thread
  EXPECT_TRUE(answer.get().item);
}

}  // namespace
}  // namespace QuorvelleDrive::testing
