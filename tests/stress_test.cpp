// Thousands of host operations in flight against a companion that is slow, wrong or gone: each
// one answers exactly once and nothing deadlocks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kOperations = 2000;

// Replies chosen at random but always framed well: right answers, error words, and answers of
// the wrong shape; each after a random short delay.
class ChaoticReplies {
 public:
  Answer operator()(const RecordedRequest& request) {
    int kind, pick, delay;
    {
      std::lock_guard lock(mutex_);
      kind = std::uniform_int_distribution<int>(0, 9)(random_);
      pick = std::uniform_int_distribution<int>(0, 4)(random_);
      delay = std::uniform_int_distribution<int>(0, 5)(random_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    static const char* kWrongShapes[] = {
        R"({})", R"({"item":5})", R"({"items":"x","anchor":"nope"})", R"({"error":7})",
        R"({"item":{"id":"","parent":"1","name":"../x","dir":"no"}})"};
    static const char* kWords[] = {"notFound", "exists", "notEmpty", "access", "busy"};
    if (kind < 3) return Answer::reply(std::string(R"({"error":")") + kWords[pick] + "\"}");
    if (kind < 5) return Answer::reply(kWrongShapes[pick]);
    const auto* field = request.json.if_contains("op");
    const std::string_view op =
        field && field->is_string() ? std::string_view(field->as_string()) : "";
    if (op == "read")
      return Answer::reply(R"({"item":{"id":"a","parent":"1","name":"a.txt"},"size":5})", "bytes");
    if (op == "list" || op == "all")
      return Answer::reply(R"({"items":[{"id":"a","parent":"1","name":"a"}],"anchor":9})");
    if (op == "anchor") return Answer::reply(R"({"anchor":9})");
    return Answer::reply(kItemReply);
  }

 private:
  std::mutex mutex_;
  std::mt19937 random_{20261207};
};

class StressTest : public DriveFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void serveChaos() { companion().setFallback(std::ref(replies_)); }

  // Every completion records the number of its operation, so a second or a missing answer shows.
  void launch(int i) {
    auto done = [this, i] { answers_.add(i); };
    auto item = [done](auto&&...) { done(); };
    auto host = std::make_shared<HostItem>();
    const int kind = i % 8;
    if (kind == 0) extension_->item(ItemIdentifier("a"), {}, item);
    if (kind == 1) extension_->fetchContents(ItemIdentifier("a"), std::nullopt, {}, item);
    if (kind == 2) extension_->createItem(host, ~ItemFields{0}, contents_, 0, {}, item);
    if (kind == 3) extension_->modifyItem(host, {}, ~ItemFields{0}, contents_, 0, {}, item);
    if (kind == 4) extension_->deleteItem(ItemIdentifier("a"), {}, 0, {}, item);
    if (kind == 5) enumerator()->enumerateItems(std::make_shared<RecordingObserver>(done), {});
    if (kind == 6) enumerator()->enumerateChanges(std::make_shared<RecordingObserver>(done), "3");
    if (kind == 7) enumerator()->currentSyncAnchor(item);
  }
  std::shared_ptr<FileProviderEnumerator> enumerator() {
    return extension_->enumerator(
        i_++ % 2 ? rootContainerItemIdentifier() : workingSetContainerItemIdentifier(), {});
  }

  ChaoticReplies replies_;
  Calls<int> answers_;
  std::atomic<int> i_{0};
  std::filesystem::path contents_ = localFile("upload.bin", std::string(3000, 'u'));
  std::shared_ptr<FileProviderExtension> extension_ = FileProviderExtension::create(domain_);
};

TEST_P(StressTest, EveryOperationAnswersExactlyOnce) {
  bool restartMidway = GetParam();
  serveChaos();
  for (int i = 0; i < kOperations; ++i) {
    launch(i);
    if (restartMidway && i == kOperations / 2) {
      stopCompanion();  // in-flight exchanges are cut; new ones find nobody for a moment
      std::this_thread::sleep_for(20ms);
      serveChaos();
    }
  }
  ASSERT_TRUE(answers_.waitFor(kOperations, 120s)) << answers_.count() << " of " << kOperations;
  std::this_thread::sleep_for(100ms);  // time for a stray second answer to show
  std::vector<int> answersPerOperation(kOperations);
  for (int operation : answers_.values()) ++answersPerOperation.at(operation);
  EXPECT_THAT(answersPerOperation, ::testing::Each(1));
}

INSTANTIATE_TEST_SUITE_P(Companion, StressTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "RestartedMidway" : "Steady";
                         });

}  // namespace
}  // namespace QuorvelleDrive::testing
