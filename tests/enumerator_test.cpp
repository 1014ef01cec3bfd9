#include "enumeration/enumerator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "boundaries/file_provider_error.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

using ::testing::ElementsAre;

const char* kTwoItems = R"({"items":[{"id":"a","parent":"1","name":"a","dir":false},
                                     {"id":"b","parent":"1","name":"b","dir":true}]})";

class EnumeratorTest : public DriveFixture {
 protected:
  std::vector<std::string> list(const ItemIdentifier& container, Page page = {}) {
    auto observer = std::make_shared<RecordingObserver>();
    extension_->enumerator(container, {})->enumerateItems(observer, std::move(page));
    return observer->events();
  }
  std::vector<std::string> changes(const SyncAnchor& from) {
    auto observer = std::make_shared<RecordingObserver>();
    extension_->enumerator(rootContainerItemIdentifier(), {})->enumerateChanges(observer, from);
    return observer->events();
  }
  std::optional<SyncAnchor> currentAnchor() {
    Calls<std::optional<SyncAnchor>> answer;
    extension_->enumerator(trashContainerItemIdentifier(), {})
        ->currentSyncAnchor(recordInto(answer));
    return answer.get();
  }

  std::shared_ptr<FileProviderExtension> extension_ = FileProviderExtension::create(domain_);
};

TEST_F(EnumeratorTest, EachContainerKindSendsItsRequest) {
  companion().setFallback([](const RecordedRequest&) { return Answer::reply(kTwoItems); });
  EXPECT_THAT(list(rootContainerItemIdentifier()), ElementsAre("items:2", "page:none"));
  EXPECT_THAT(list(workingSetContainerItemIdentifier()), ElementsAre("items:2", "page:none"));
  EXPECT_THAT(list(ItemIdentifier("folder"), "some later page"),
              ElementsAre("items:2", "page:none"));
  EXPECT_THAT(list(trashContainerItemIdentifier()), ElementsAre("items:0", "page:none"));
  EXPECT_THAT(sent(),
              ElementsAre(parseObject(R"({"op":"list","id":"1"})"), parseObject(R"({"op":"all"})"),
                          parseObject(R"({"op":"list","id":"folder"})")));
}

TEST_F(EnumeratorTest, ListingDeliversTheWholeReplyInOneCall) {
  companion().enqueue(Answer::reply(kTwoItems));
  auto observer = std::make_shared<RecordingObserver>();
  extension_->enumerator(ItemIdentifier("f"), {})->enumerateItems(observer, {});
  auto items = observer->items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]->itemIdentifier(), ItemIdentifier("a"));
  EXPECT_EQ(items[1]->contentType(), ContentType::folder());
  EXPECT_NE(observer->finishThread(), std::this_thread::get_id());
  for (const char* empty : {"{}", R"({"items":[]})", R"({"items":"none"})"}) {
    companion().enqueue(Answer::reply(empty));
    EXPECT_THAT(list(ItemIdentifier("f")), ElementsAre("items:0", "page:none")) << empty;
  }
}

TEST_F(EnumeratorTest, ListingFailuresReachTheObserverOnly) {
  companion().enqueue(Answer::reply(R"({"error":"notFound"})"));
  EXPECT_THAT(list(ItemIdentifier("file")), ElementsAre("error:NSFileProviderErrorDomain:-1005"));
  companion().enqueue(Answer::raw(frame("not json")));
  EXPECT_THAT(list(ItemIdentifier("f")), ElementsAre("error:NSCocoaErrorDomain:3840"));
  companion().enqueue(Answer::raw(frame("[]")));
  EXPECT_THAT(list(ItemIdentifier("f")), ElementsAre("error:NSFileProviderErrorDomain:-1004"));
}

TEST_F(EnumeratorTest, NoCompanionOrNoExtensionMeansServerUnreachableButTrashStillAnswers) {
  EXPECT_THAT(list(trashContainerItemIdentifier()), ElementsAre("items:0", "page:none"));
  EXPECT_THAT(list(rootContainerItemIdentifier()),
              ElementsAre("error:NSFileProviderErrorDomain:-1004"));
  companion();
  auto enumerator = extension_->enumerator(ItemIdentifier("f"), {});
  enumerator->invalidate();
  extension_.reset();
  auto observer = std::make_shared<RecordingObserver>();
  enumerator->enumerateItems(observer, {});
  EXPECT_THAT(observer->events(), ElementsAre("error:NSFileProviderErrorDomain:-1004"));
  auto trash = std::make_shared<RecordingObserver>();
  enumerator = Enumerator::create(trashContainerItemIdentifier(),
                                  [](const json::object&) -> Reply { throw Error("x", 1); });
  enumerator->enumerateItems(trash, {});
  EXPECT_THAT(trash->events(), ElementsAre("items:0", "page:none"));
  EXPECT_EQ(companion().connectionCount(), 0u);
}

struct AnchorCase {
  std::string reply;
  std::optional<SyncAnchor> anchor;
};

TEST_F(EnumeratorTest, AnchorIsTheDecimalTextOfTheNumber) {
  const AnchorCase cases[] = {
      {R"({"anchor":42})", "42"},
      {R"({"anchor":0})", "0"},
      {R"({"anchor":18446744073709551615})", "18446744073709551615"},
      {R"({"anchor":"42"})", "0"},
      {R"({})", "0"},
      {R"({"anchor":null})", "0"},
      {R"({"anchor":true})", "1"},
      {R"({"anchor":false})", "0"},
      {R"({"anchor":-1})", "18446744073709551615"},
      {R"({"anchor":7.9})", "7"},
      {R"({"anchor":-7.9})", "0"},
      {R"({"anchor":1e300})", "18446744073709551615"},
      {R"({"error":"notFound"})", std::nullopt},
  };
  for (const auto& c : cases) {
    companion().enqueue(Answer::reply(c.reply));
    EXPECT_EQ(currentAnchor(), c.anchor) << c.reply;
  }
  for (const auto& r : sent()) EXPECT_EQ(r, parseObject(R"({"op":"anchor"})"));
  stopCompanion();
  EXPECT_EQ(currentAnchor(), std::nullopt);
}

TEST_F(EnumeratorTest, ChangesAreNoneOrAnExpiredAnchor) {
  const std::pair<std::string, SyncAnchor> expired[] = {
      {R"({"anchor":43})", "42"}, {R"({"anchor":42})", std::string("042")},
      {R"({"anchor":42})", ""},   {R"({"anchor":42})", "42 "},
      {R"({"anchor":0})", ""},
  };
  companion().enqueue(Answer::reply(R"({"anchor":42})"));
  EXPECT_THAT(changes("42"), ElementsAre("changes:42:false"));
  companion().enqueue(Answer::reply(R"({"anchor":"9"})"));
  EXPECT_THAT(changes("0"), ElementsAre("changes:0:false"));
  for (const auto& [reply, from] : expired) {
    companion().enqueue(Answer::reply(reply));
    EXPECT_THAT(changes(from), ElementsAre("error:NSFileProviderErrorDomain:-1002")) << from;
  }
  companion().enqueue(Answer::reply(R"({"error":"offline"})"));
  EXPECT_THAT(changes("42"), ElementsAre("error:NSFileProviderErrorDomain:-1004"));
  companion().enqueue(Answer::reply(R"({"error":"noSpace"})"));
  EXPECT_THAT(changes("42"), ElementsAre("error:NSFileProviderErrorDomain:-1003"));
  stopCompanion();
  EXPECT_THAT(changes("42"), ElementsAre("error:NSFileProviderErrorDomain:-1004"));
}

}  // namespace
}  // namespace QuorvelleDrive::testing
