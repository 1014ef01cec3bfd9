// The times the mount shows for an item, kept as the kernel takes them (whole nanoseconds), each
// on its own: atime when set, mtime when contents change, ctime whenever anything about the item
// changes. ctime never moves backwards.
#pragma once

#include <time.h>

#include <optional>

#include "platform/date.h"

namespace QuorvelleDrive::fuse {

timespec wallClock();
// A companion's date (seconds as a double) to the nearest nanosecond; out of range becomes 0.
timespec timespecOf(double seconds);
bool earlier(const timespec& a, const timespec& b);
const timespec& later(const timespec& a, const timespec& b);

struct NodeTimes {
  timespec atime{};
  timespec mtime{};
  timespec ctime{};

  // A fresh mount shows an item's three times equal to the date the companion gives.
  static NodeTimes from(const std::optional<Date>& modified);
  // Something about the item changed (a rename, a link, a mode) at `now`.
  void changed(const timespec& now) { ctime = later(ctime, now); }
  // Its contents (or a folder's entries) changed at `now`.
  void modified(const timespec& now) {
    mtime = now;
    changed(now);
  }
};

}  // namespace QuorvelleDrive::fuse
