#include "pending_states.h"

namespace QuorvelleDrive::fuse {

PendingStates::PendingStates(const std::vector<Entry>& entries, std::string companionProblem,
                             bool mounted)
    : companionProblem_(std::move(companionProblem)), mounted_(mounted) {
  for (const auto& e : entries) {
    firstOfItem_.try_emplace(e.item, e.seq);
    if (e.change == Change::create) beingCreated_.insert(e.item);
  }
}

std::string PendingStates::describe(const Entry& e) const {
  if (e.stage == Stage::parked) return "parked: " + e.error;
  if (!mounted_) return "waiting for the next mount";
  if (e.stage == Stage::sent) return e.error.empty() ? "uploading" : "retrying after " + e.error;
  // Uploads start after the last close, so this is what everything else waits for.
  if (e.held) return "waiting for the file to be closed";
  bool placed = e.change == Change::create || e.moves();
  if (placed && beingCreated_.count(e.place.parent)) return "waiting for its parent";
  auto first = firstOfItem_.find(e.item);
  if (first != firstOfItem_.end() && first->second < e.seq)
    return "waiting for an earlier change to it";
  if (!e.error.empty()) return "retrying after " + e.error;
  if (!companionProblem_.empty()) return "retrying after " + companionProblem_;
  return "queued";
}

}  // namespace QuorvelleDrive::fuse
