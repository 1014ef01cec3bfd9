#include "companion/group_commit.h"

#include <sys/stat.h>
#include <unistd.h>

#include "companion/refusal.h"

namespace QuorvelleDrive::companion {

std::uint64_t GroupCommit::join(std::vector<UniqueFd> folders) {
  std::lock_guard lock(mutex_);
  open_.joined = true;
  for (auto& folder : folders) {
    struct stat st;
    if (!folder.valid() || ::fstat(folder.get(), &st) != 0) continue;
    open_.folders.try_emplace({st.st_dev, st.st_ino}, std::move(folder));
  }
  return open_.ticket;
}

void GroupCommit::wait(std::uint64_t ticket) {
  std::unique_lock lock(mutex_);
  while (durable_ < ticket) {
    if (leading_) {
      done_.wait(lock);
      continue;
    }
    leading_ = true;
    lock.unlock();
    try {
      lead();
    } catch (...) {
      std::lock_guard again(mutex_);
      leading_ = false;
      done_.notify_all();
      throw;
    }
    lock.lock();
  }
  if (failed(ticket)) throw Refusal(Word::io);
}

// A folder's sync failing is not reported, as before groups: the change is in place, and
// nothing better than the sync itself could make it durable.
void GroupCommit::lead() {
  Group group;
  {
    std::lock_guard lock(mutex_);
    Group next;
    next.ticket = open_.ticket + 1;
    group = std::exchange(open_, std::move(next));
  }
  for (auto& [key, folder] : group.folders) ::fsync(folder.get());
  std::uint64_t lost = 0;  // the last ticket whose changes a failed commit took with it
  {
    std::lock_guard catalog(catalogLock_);
    try {
      commit_();
    } catch (const std::exception&) {
      // Changes are made and joined under the catalog's lock: those of the open group so far
      // were in the batch too.
      std::lock_guard lock(mutex_);
      lost = open_.joined ? open_.ticket : group.ticket;
    }
  }
  std::lock_guard lock(mutex_);
  if (lost) failures_.emplace_back(group.ticket, lost);
  durable_ = group.ticket;
  leading_ = false;
  done_.notify_all();
}

bool GroupCommit::failed(std::uint64_t ticket) const {
  for (auto [from, to] : failures_)
    if (ticket >= from && ticket <= to) return true;
  return false;
}

}  // namespace QuorvelleDrive::companion
