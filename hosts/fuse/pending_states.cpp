#include "pending_states.h"

#include "status_words.h"

namespace QuorvelleDrive::fuse {

PendingStates::PendingStates(const std::vector<Entry>& entries, std::string companionProblem,
                             bool mounted, std::optional<ServerState> server)
    : companionProblem_(std::move(companionProblem)),
      mounted_(mounted),
      server_(std::move(server)),
      now_(std::time(nullptr)) {
  for (const auto& e : entries) {
    firstOfItem_.try_emplace(e.item, e.seq);
    if (e.change == Change::create) beingCreated_.insert(e.item);
  }
}

std::string PendingStates::describe(const Entry& e) const {
  auto words = [&](const std::string& recorded) { return forPeople(recorded, server_, now_); };
  if (e.stage == Stage::parked) return "parked: " + words(e.error);
  if (!mounted_) return "waiting for the next mount";
  if (e.stage == Stage::sent)
    return e.error.empty() ? "uploading" : "retrying after " + words(e.error);
  // Uploads start after the last close, so this is what everything else waits for.
  if (e.held) return "waiting for the file to be closed";
  bool placed = e.change == Change::create || e.moves();
  if (placed && beingCreated_.count(e.place.parent)) return "waiting for its parent";
  auto first = firstOfItem_.find(e.item);
  if (first != firstOfItem_.end() && first->second < e.seq)
    return "waiting for an earlier change to it";
  if (!e.error.empty()) return "retrying after " + words(e.error);
  if (!companionProblem_.empty()) return "retrying after " + words(companionProblem_);
  return "queued";
}

}  // namespace QuorvelleDrive::fuse
