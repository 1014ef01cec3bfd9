// What the benchmark programs share: the wire framing of a trivial companion, one domain with an
// app-group container under a private temporary root, and the table row they all print.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "boundaries/file_provider_manager.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace QuorvelleDrive::Bench {

namespace fs = std::filesystem;

inline constexpr const char* kGroup = "group.bench";

using Clock = std::chrono::steady_clock;

inline double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

inline std::string framed(const std::string& json) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((json.size() >> (24 - 8 * i)) & 0xFF);
  return out + json;
}

inline bool readExactly(int fd, char* into, std::size_t size) {
  for (std::size_t got = 0; got < size;) {
    ssize_t n = ::recv(fd, into + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

inline bool sendAll(int fd, const char* bytes, std::size_t size) {
  for (std::size_t sent = 0; sent < size;) {
    ssize_t n = ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

struct World {
  World() {
    fs::create_directories(root / "containers" / kGroup);
    FileManager::setContainersRoot(root / "containers");
    Bundle::main().setInfoDictionary({{"QuorvelleAppGroup", kGroup}});
    DomainRegistry::shared().setHostStateRoot(root / "state");
    DomainRegistry::shared().addDomain(domain);
  }
  ~World() { fs::remove_all(root); }
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  fs::path socket() const { return root / "containers" / kGroup / "drive.sock"; }

  fs::path root = fs::temp_directory_path() / ("qd-bench-" + std::to_string(::getpid()));
  Domain domain{"bench", "Bench"};
};

// One line of the table: what, ours, the floor or peer, their ratio, the target.
inline void row(const char* what, double ours, double floor, const char* unit, double ratio,
                const char* target) {
  char oursText[32];
  char floorText[32];
  std::snprintf(oursText, sizeof oursText, "%.1f %s", ours, unit);
  std::snprintf(floorText, sizeof floorText, "%.1f %s", floor, unit);
  std::printf("%-34s %13s %13s %8.2f  %s\n", what, oursText, floorText, ratio, target);
}

inline void header() {
  std::printf("\n%-34s %13s %13s %8s  %s\n", "what", "ours", "floor/peer", "ratio", "target");
}

}  // namespace QuorvelleDrive::Bench
