// How each pending outbox entry stands, in words for people (`qdrive status`, and the list a
// mount prints when it ends with changes pending).
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "outbox.h"
#include "server_report.h"

namespace QuorvelleDrive::fuse {

class PendingStates {
 public:
  // `entries` in the order they were made; `mounted` when a live mount sends them, else they
  // wait for the next one; `server`, how the server stands that keeps the drive, if one does.
  // One pass over the entries, so that describing each is constant time.
  PendingStates(const std::vector<Entry>& entries, std::string companionProblem, bool mounted,
                std::optional<ServerState> server = std::nullopt);

  // "uploading", "waiting for its parent", "waiting for the file to be closed", … in words for
  // people (status_words.h).
  std::string describe(const Entry& entry) const;

 private:
  std::unordered_map<ItemIdentifier, std::int64_t> firstOfItem_;
  std::unordered_set<ItemIdentifier> beingCreated_;
  std::string companionProblem_;
  bool mounted_;
  std::optional<ServerState> server_;
  std::time_t now_;
};

}  // namespace QuorvelleDrive::fuse
