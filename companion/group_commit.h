// Changes that arrive together share their syncs. Each change is made under the catalog's lock,
// inside the index's open batch, and joins the open group with the folders it touched; then,
// with the lock released, it waits until its group is durable. The first waiter whose group is
// not durable yet leads: it closes the group, syncs each of its folders once, commits the index
// once (under the lock, briefly), and wakes the others. Changes made meanwhile form the next
// group, so while one group syncs the next one gathers.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "companion/fd.h"

namespace QuorvelleDrive::companion {

class GroupCommit {
 public:
  // `commit` makes every change made so far durable in the index; it runs under `catalogLock`.
  GroupCommit(std::mutex& catalogLock, std::function<void()> commit)
      : catalogLock_(catalogLock), commit_(std::move(commit)) {}

  // Under the catalog's lock: adds the change just made, and the folders whose entries it
  // changed, to the open group; the ticket to wait for.
  std::uint64_t join(std::vector<UniqueFd> folders);
  // Without the catalog's lock: returns once the group of `ticket` is durable. Refuses with
  // `io` when the index could not commit it (the disk may hold the change; the watcher's next
  // pass over those folders records it again).
  void wait(std::uint64_t ticket);

 private:
  struct Group {
    std::uint64_t ticket = 1;
    bool joined = false;
    std::map<std::pair<dev_t, ino_t>, UniqueFd> folders;  // one descriptor per folder
  };
  void lead();
  bool failed(std::uint64_t ticket) const;

  std::mutex& catalogLock_;
  std::function<void()> commit_;
  std::mutex mutex_;  // after the catalog's lock, never before it
  std::condition_variable done_;
  Group open_;
  std::uint64_t durable_ = 0;  // every group up to this one is durable (or failed)
  bool leading_ = false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> failures_;  // ranges of tickets
};

}  // namespace QuorvelleDrive::companion
