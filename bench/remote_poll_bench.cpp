// The cost of one poll of a WebDAV server by the remote companion: the first (which fills an
// empty index) and then a steady one (nothing changed), each as milliseconds and requests.
//
//   remote_poll_bench URL NETRC
//
// Prints "first MS REQUESTS" and "steady MS REQUESTS"; scripts/bench-remote puts them beside
// `rclone lsjson -R` of the same server.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "companion/remote/remote_drive.h"

namespace fs = std::filesystem;
namespace qr = QuorvelleDrive::companion::remote;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: remote_poll_bench URL NETRC\n");
    return 2;
  }
  fs::path state = fs::temp_directory_path() / ("remote-poll-bench-" + std::to_string(::getpid()));
  int status = 0;
  {
    qr::RemoteOptions options;
    options.url = argv[1];
    options.netrc = argv[2];
    options.poll = std::chrono::milliseconds(0);
    options.state = state;
    options.log = [](const std::string&) {};  // the figures are the output
    qr::RemoteDrive drive(options, false);
    drive.abilities();  // the probe, once at start, is not part of a poll
    for (const char* which : {"first", "steady"}) {
      auto requests = drive.requestsSent();
      auto start = std::chrono::steady_clock::now();
      bool ok = drive.poll();
      double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      std::printf("%s %.1f %llu\n", which, ms,
                  static_cast<unsigned long long>(drive.requestsSent() - requests));
      if (!ok) status = 1;
    }
  }
  fs::remove_all(state);
  return status;
}
