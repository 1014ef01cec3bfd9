// Thousands of host operations in flight against a companion that is slow, wrong or gone: each
// one answers exactly once and nothing deadlocks.
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

// Counts every answer per operation; a second answer or a missing one is a fault.
class Tally {
 public:
  Tally() : answers_(kOperations) {}
  std::function<void()> counter(int operation) {
    return [this, operation] {
      answers_[operation]++;
      total_++;
    };
  }
  bool waitForAll(std::chrono::seconds limit) const {
    return eventually([this] { return total_ >= kOperations; }, limit);
  }
  int answered() const { return total_; }
  std::vector<int> notAnsweredOnce() const {
    std::vector<int> wrong;
    for (int i = 0; i < kOperations; ++i)
      if (answers_[i] != 1) wrong.push_back(i);
    return wrong;
  }

 private:
  std::vector<std::atomic<int>> answers_;
  std::atomic<int> total_{0};
};

class CountingObserver : public EnumerationObserver, public ChangeObserver {
 public:
  explicit CountingObserver(std::function<void()> done) : done_(std::move(done)) {}
  void didEnumerateItems(std::vector<std::shared_ptr<const FileProviderItem>>) override {}
  void finishEnumeratingUpToPage(std::optional<Page>) override { done_(); }
  void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor, bool) override { done_(); }
  void finishEnumeratingWithError(Error) override { done_(); }

 private:
  std::function<void()> done_;
};

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
    std::string op(request.json.contains("op") && request.json.at("op").is_string()
                       ? request.json.at("op").as_string()
                       : "");
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

  void launch(int i) {
    auto done = tally_.counter(i);
    auto host = std::make_shared<HostItem>();
    auto item = [done](auto&&...) { done(); };
    switch (i % 8) {
      case 0:
        extension_->item(ItemIdentifier("a"), {}, item);
        break;
      case 1:
        extension_->fetchContents(ItemIdentifier("a"), std::nullopt, {}, item);
        break;
      case 2:
        extension_->createItem(host, ~ItemFields{0}, contents_, 0, {}, item);
        break;
      case 3:
        extension_->modifyItem(host, {}, ~ItemFields{0}, contents_, 0, {}, item);
        break;
      case 4:
        extension_->deleteItem(ItemIdentifier("a"), {}, 0, {}, item);
        break;
      case 5:
        enumerator()->enumerateItems(std::make_shared<CountingObserver>(done), {});
        break;
      case 6:
        enumerator()->enumerateChanges(std::make_shared<CountingObserver>(done), "3");
        break;
      default:
        enumerator()->currentSyncAnchor(item);
        break;
    }
  }
  std::shared_ptr<FileProviderEnumerator> enumerator() {
    return extension_->enumerator(
        i_++ % 2 ? rootContainerItemIdentifier() : workingSetContainerItemIdentifier(), {});
  }

  ChaoticReplies replies_;
  Tally tally_;
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
  ASSERT_TRUE(tally_.waitForAll(120s)) << tally_.answered() << " of " << kOperations;
  std::this_thread::sleep_for(100ms);  // time for a stray second answer to show
  EXPECT_EQ(tally_.notAnsweredOnce(), std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(Companion, StressTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "RestartedMidway" : "Steady";
                         });

}  // namespace
}  // namespace QuorvelleDrive::testing
