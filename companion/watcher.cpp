#include "companion/watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace QuorvelleDrive::companion {

namespace {

constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
// A burst ends after this much quiet, or after kMaxSettle of continuous events so that a program
// writing for a long time still shows its progress. The cap is a time, not a count of wake-ups:
// events every few milliseconds (a copy of many small files) would otherwise end a burst, and
// start a pass over the whole store, many times a second.
constexpr int kQuietMillis = 50;
constexpr auto kMaxSettle = std::chrono::seconds(1);

std::pair<UniqueFd, UniqueFd> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace

Watcher::Watcher(Catalog& catalog)
    : catalog_(catalog), inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!inotify_.valid()) throw std::runtime_error("inotify is not available");
  std::tie(wakeRead_, wakeWrite_) = makePipe();
  rescan();
  thread_ = std::thread([this] { loop(); });
}

Watcher::~Watcher() {
  char byte = 1;
  while (::write(wakeWrite_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
}

void Watcher::loop() {
  for (;;) {
    pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    if (!drain()) continue;
    settle();
    rescan();
  }
}

bool Watcher::drain() {
  alignas(inotify_event) char buffer[64 * 1024];
  bool any = false;
  for (;;) {
    ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
    if (n <= 0) return any;
    any = true;
    for (char* at = buffer; at < buffer + n;) {
      auto* event = reinterpret_cast<inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) lost_ = true;
      auto folder = folders_.find(event->wd);
      if (folder == folders_.end()) continue;
      if (event->mask & IN_IGNORED)
        forget(event->wd);
      else
        changed_.insert(folder->second);
    }
  }
}

void Watcher::settle() {
  auto deadline = std::chrono::steady_clock::now() + kMaxSettle;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, kQuietMillis) <= 0 || fds[1].revents || !drain()) return;
  }
}

void Watcher::rescan() {
  try {
    if (std::exchange(lost_, false))
      catalog_.reconcile(this);
    else
      unwatch(catalog_.reconcile({changed_.begin(), changed_.end()}, this));
  } catch (const std::exception&) {
    lost_ = true;  // a failed pass leaves the index as it was; the next event brings a whole one
  }
  changed_.clear();
}

// inotify takes a path; the descriptor's own name in /proc reaches the folder however deep it
// lies, and watches that very folder even if it has just been renamed.
void Watcher::watch(int folder, const std::string& id) {
  std::string path = "/proc/self/fd/" + std::to_string(folder);
  int wd = ::inotify_add_watch(inotify_.get(), path.c_str(), kMask);
  if (wd < 0) return;
  // The same folder under a new id, or another folder under an id reused by the index.
  if (auto old = folders_.find(wd); old != folders_.end() && old->second != id)
    watches_.erase(old->second);
  if (auto old = watches_.find(id); old != watches_.end() && old->second != wd)
    folders_.erase(old->second);
  folders_[wd] = id;
  watches_[id] = wd;
}

void Watcher::forget(int wd) {
  auto folder = folders_.find(wd);
  if (folder == folders_.end()) return;
  if (auto back = watches_.find(folder->second); back != watches_.end() && back->second == wd)
    watches_.erase(back);
  folders_.erase(folder);
}

// Folders moved out of the store keep their watches until their next event says they are gone.
void Watcher::unwatch(const std::vector<std::string>& folders) {
  if (folders.empty()) return;
  for (const auto& id : folders) {
    auto watch = watches_.find(id);
    if (watch == watches_.end()) continue;
    int wd = watch->second;
    ::inotify_rm_watch(inotify_.get(), wd);
    forget(wd);
  }
}

}  // namespace QuorvelleDrive::companion
