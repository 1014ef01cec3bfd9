// Picks up changes other programs make in the store while the companion runs: inotify on every
// folder, and after each burst of events one reconciling pass over the folders the events
// named (over the whole store only when inotify lost events).
#pragma once

#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include "companion/catalog.h"
#include "companion/fd.h"

namespace QuorvelleDrive::companion {

class Watcher : private FolderWatch {
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
  void watch(int folder, const std::string& id) override;
  bool watching(const std::string& id) const override { return watches_.count(id) > 0; }
  void unwatch(const std::vector<std::string>& folders);
  void forget(int wd);

  Catalog& catalog_;
  UniqueFd inotify_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::unordered_map<int, std::string> folders_;  // watch descriptor → folder id
  std::unordered_map<std::string, int> watches_;  // and back
  std::set<std::string> changed_;                 // folders the events since the last pass named
  bool lost_ = true;                              // events were lost: the next pass is whole
  std::thread thread_;                            // last: starts once everything above exists
};

}  // namespace QuorvelleDrive::companion
