#include <gtest/gtest.h>

#include <thread>

#include "boundaries/file_provider_error.h"
#include "platform/bundle.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

class ExtensionCoreTest : public DriveFixture {};

// Held exchanges all proceed at once, off the caller's thread, and each one's progress completes
// only after its work, whatever the outcome.
TEST_F(ExtensionCoreTest, LongExchangesProceedAtOnceAndProgressCompletesAfterTheWork) {
  constexpr int kHeld = 8;
  for (int i = 0; i < kHeld; ++i) companion().enqueue(Answer::hold(Answer::reply(kItemReply)));
  auto extension = FileProviderExtension::create(domain_);
  std::vector<std::unique_ptr<Calls<ItemAnswer>>> answers;
  std::vector<std::shared_ptr<Progress>> progress;
  for (int i = 0; i < kHeld; ++i) {
    answers.push_back(std::make_unique<Calls<ItemAnswer>>());
    progress.push_back(extension->item(ItemIdentifier("a"), {}, recordInto(*answers.back())));
    EXPECT_EQ(progress.back()->totalUnitCount(), 1);
  }
  ASSERT_TRUE(companion().waitForHeld(kHeld));
  for (const auto& p : progress) EXPECT_EQ(p->completedUnitCount(), 0);
  companion().release();
  for (int i = 0; i < kHeld; ++i) {
    EXPECT_TRUE(answers[i]->get().item);
    EXPECT_NE(answers[i]->thread(), std::this_thread::get_id());
    EXPECT_TRUE(eventually([&] { return progress[i]->completedUnitCount() == 1; }));
  }

  companion().enqueue(Answer::reply(R"({"error":"notFound"})"));
  Calls<ItemAnswer> missing;
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

// A container that others may write to is none; putting it right later changes nothing.
TEST_F(ExtensionCoreTest, ClientIsDecidedAtConstruction) {
  using std::filesystem::perms;
  std::filesystem::permissions(containerPath(), perms::owner_all | perms::others_write);
  auto extension = FileProviderExtension::create(domain_);
  std::filesystem::permissions(containerPath(), perms::owner_all);
  companion();
  EXPECT_EQ(lookUp(*extension, ItemIdentifier("a")).error,
            fileProviderError(FileProviderError::serverUnreachable));
  EXPECT_EQ(companion().connectionCount(), 0u);
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
