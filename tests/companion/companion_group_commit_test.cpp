// Changes that arrive together share one commit of the index (and one sync of each folder), and
// none of them is answered before a commit that came after it.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "companion/group_commit.h"
#include "companion/refusal.h"

namespace QuorvelleDrive::testing {
namespace {

namespace qc = QuorvelleDrive::companion;

TEST(CompanionGroupCommit, ChangesMadeWhileAGroupCommitsShareTheNextCommit) {
  std::atomic<int> commits{0};
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  // Changes join under the catalog's lock; here the test alone joins, so it need not take it.
  std::mutex catalog;
  qc::GroupCommit group(catalog, [&] {
    if (commits == 0) {
      entered.set_value();
      released.wait();
    }
    if (++commits == 3) throw std::runtime_error("disk full");
  });
  std::thread first([&, ticket = group.join({})] { group.wait(ticket); });
  entered.get_future().wait();

  // Fifteen changes made while the first group commits: all in the second group.
  std::vector<std::thread> others;
  std::atomic<int> answeredAfterTheirCommit{0};
  for (int i = 0; i < 15; ++i)
    others.emplace_back([&, ticket = group.join({})] {
      group.wait(ticket);
      if (commits == 2) ++answeredAfterTheirCommit;
    });
  release.set_value();
  first.join();
  for (auto& other : others) other.join();
  EXPECT_EQ(commits, 2);
  EXPECT_EQ(answeredAfterTheirCommit, 15);

  // A commit that fails answers its group with io; the next one is not held back by it.
  auto failing = group.join({});
  try {
    group.wait(failing);
    ADD_FAILURE() << "a failed commit was answered as durable";
  } catch (const qc::Refusal& refusal) {
    EXPECT_EQ(refusal.word(), qc::Word::io);
  }
  EXPECT_NO_THROW(group.wait(group.join({})));
  EXPECT_EQ(commits, 4);
}

}  // namespace
}  // namespace QuorvelleDrive::testing
