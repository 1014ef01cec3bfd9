// Picks up changes other programs make in the store while the companion runs: inotify on every
// folder, and after each burst of events one reconciling pass of the catalog.
#pragma once

#include <set>
#include <string>
#include <thread>

#include "companion/catalog.h"
#include "companion/fd.h"

namespace QuorvelleDrive::companion {

class Watcher {
 public:
  explicit Watcher(Catalog& catalog);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

 private:
  void loop();
  // Reads pending events; false when there were none.
  bool drain();
  void settle();
  void rescan();
  // Called for each folder a pass visits, before it reads the folder's entries, so that a change
  // made after the reading is always reported.
  void watch(int folder, const std::string& id);

  Catalog& catalog_;
  UniqueFd inotify_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::set<int> watches_;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace QuorvelleDrive::companion
