#include "platform/dispatch_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/recorders.h"

namespace QuorvelleDrive::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

// Shared by pointer because tasks of a failed test may outlive it.
using Counter = Calls<bool>;

// Captured by tasks to observe when their captures are destroyed.
struct Token {
  explicit Token(std::shared_ptr<Counter> released) : released(std::move(released)) {}
  ~Token() { released->add(); }
  std::shared_ptr<Counter> released;
};

// Reports the end of whichever thread last touched it.
struct ThreadExitNotifier {
  std::shared_ptr<Counter> exited;
  ~ThreadExitNotifier() {
    if (exited) exited->add();
  }
};
thread_local ThreadExitNotifier threadExitNotifier;

TEST(DispatchQueueTest, BlockedTasksDoNotStarveOthers) {
  constexpr int kTasks = 64;
  DispatchQueue queue("test.barrier");
  auto arrived = std::make_shared<Counter>();
  auto finished = std::make_shared<Counter>();
  auto allMet = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < kTasks; ++i) {
    queue.async([=] {
      arrived->add();
      if (arrived->waitFor(kTasks)) ++*allMet;
      finished->add();
    });
  }
  ASSERT_TRUE(finished->waitFor(kTasks));
  EXPECT_EQ(*allMet, kTasks);
}

// With every worker blocked, later tasks wait for a free worker; they stay queued when the queue
// is destroyed, and still run and release their captures.
TEST(DispatchQueueTest, TasksBeyondWorkerCapWaitAndOutliveTheQueue) {
  constexpr int kBlockers = static_cast<int>(DispatchQueue::kMaxWorkers);
  constexpr int kQueued = 16;
  auto gate = std::make_shared<Counter>();
  auto blockersRunning = std::make_shared<Counter>();
  auto blockersDone = std::make_shared<std::atomic<int>>(0);
  auto ran = std::make_shared<Counter>();
  auto ranBeforeAnyBlockerDone = std::make_shared<std::atomic<int>>(0);
  auto released = std::make_shared<Counter>();
  std::vector<std::weak_ptr<Token>> tokens;
  {
    DispatchQueue queue("test.cap");
    for (int i = 0; i < kBlockers; ++i) {
      queue.async([=] {
        blockersRunning->add();
        gate->waitFor(1);
        ++*blockersDone;
      });
    }
    ASSERT_TRUE(blockersRunning->waitFor(kBlockers));
    for (int i = 0; i < kQueued; ++i) {
      auto token = std::make_shared<Token>(released);
      tokens.push_back(token);
      queue.async([=, token = std::move(token)] {
        if (*blockersDone == 0) ++*ranBeforeAnyBlockerDone;
        ran->add();
      });
    }
    // Give an over-the-cap worker the chance to show itself before the blockers are let go.
    ran->waitFor(1, 200ms);
  }
  gate->add();
  ASSERT_TRUE(ran->waitFor(kQueued));
  ASSERT_TRUE(released->waitFor(kQueued));
  for (const auto& token : tokens) EXPECT_TRUE(token.expired());
  EXPECT_EQ(*ranBeforeAnyBlockerDone, 0);
}

TEST(DispatchQueueTest, QueueDestroyedByItsOwnTaskKeepsRunningWork) {
  struct Owner {
    DispatchQueue queue{"test.owner"};
  };
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> watch = owner;
  auto gate = std::make_shared<Counter>();
  auto ownerGone = std::make_shared<Counter>();
  auto earlierDone = std::make_shared<Counter>();
  DispatchQueue& queue = owner->queue;
  queue.async([=] {
    gate->waitFor(1);
    earlierDone->add();
  });
  queue.async([=, last = std::move(owner)]() mutable {
    last.reset();
    ownerGone->add();
  });
  ASSERT_TRUE(ownerGone->waitFor(1));
  EXPECT_TRUE(watch.expired());
  gate->add();
  EXPECT_TRUE(earlierDone->waitFor(1));
}

TEST(DispatchQueueTest, ThrowingTasksDoNotStopLaterTasks) {
  const std::vector<std::function<void()>> throwers = {
      [] { throw std::runtime_error("task failed"); }, [] { throw 42; },
      std::function<void()>(),  // Calling an empty task throws std::bad_function_call.
  };
  DispatchQueue queue("test.throwing");
  auto done = std::make_shared<Counter>();
  for (const auto& thrower : throwers) {
    queue.async(thrower);
    queue.async([=] { done->add(); });
  }
  EXPECT_TRUE(done->waitFor(static_cast<int>(throwers.size())));
}

TEST(DispatchQueueTest, IdleWorkersRetireAndTheQueueStillRunsWork) {
  DispatchQueue queue("test.retire");
  auto exited = std::make_shared<Counter>();
  auto ran = std::make_shared<Counter>();
  queue.async([=] {
    threadExitNotifier.exited = exited;
    ran->add();
  });
  ASSERT_TRUE(ran->waitFor(1));
  ASSERT_TRUE(exited->waitFor(1, DispatchQueue::kIdleRetirement + kPatience));
  queue.async([=] { ran->add(); });
  EXPECT_TRUE(ran->waitFor(2));
}

}  // namespace
}  // namespace QuorvelleDrive::testing
