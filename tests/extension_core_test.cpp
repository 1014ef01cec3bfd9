#include <gtest/gtest.h>

#include <thread>

#include "boundaries/file_provider_error.h"
#include "platform/bundle.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

class ExtensionCoreTest : public DriveFixture {};

TEST_F(ExtensionCoreTest, ProgressCompletesOnlyAfterTheWorkWhateverItsOutcome) {
  companion().enqueue(Answer::hold(Answer::reply(kItemReply)));
  companion().enqueue(Answer::reply(R"({"error":"notFound"})"));
  auto extension = FileProviderExtension::create(domain_);
  Calls<ItemAnswer> found, missing;
  auto progress = extension->item(ItemIdentifier("a"), {}, recordInto(found));
  EXPECT_EQ(progress->totalUnitCount(), 1);
  ASSERT_TRUE(companion().waitForHeld(1));
  EXPECT_EQ(progress->completedUnitCount(), 0);
  companion().release();
  EXPECT_TRUE(found.get().item);
  EXPECT_NE(found.thread(), std::this_thread::get_id());
  EXPECT_TRUE(eventually([&] { return progress->completedUnitCount() == 1; }));

  auto failed = extension->item(ItemIdentifier("a"), {}, recordInto(missing));
  EXPECT_EQ(missing.get().error, fileProviderError(FileProviderError::noSuchItem));
  EXPECT_TRUE(eventually([&] { return failed->completedUnitCount() == 1; }));
  EXPECT_EQ(missing.count(), 1u);
}

TEST_F(ExtensionCoreTest, MissingOrMistypedAppGroupMeansServerUnreachableWithoutConnecting) {
  companion();
  for (json::object info : {json::object{}, json::object{{"QuorvelleAppGroup", 7}},
                            json::object{{"QuorvelleAppGroup", ""}},
                            json::object{{"QuorvelleAppGroup", json::array{kTestGroup}}},
                            json::object{{"QuorvelleAppGroup", "group.absent"}}}) {
    Bundle::main().setInfoDictionary(info);
    EXPECT_EQ(lookUp(*FileProviderExtension::create(domain_), ItemIdentifier("a")).error,
              fileProviderError(FileProviderError::serverUnreachable))
        << json::serialize(info);
  }
  EXPECT_EQ(companion().connectionCount(), 0u);
}

TEST_F(ExtensionCoreTest, ClientIsDecidedAtConstruction) {
  std::filesystem::remove_all(containerPath());
  auto extension = FileProviderExtension::create(domain_);
  std::filesystem::create_directories(containerPath());
  companion();
  EXPECT_EQ(lookUp(*extension, ItemIdentifier("a")).error,
            fileProviderError(FileProviderError::serverUnreachable));
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
