// `qdrive status` over a large outbox: the real program, run on a state folder that holds N
// pending creations (files with staged bytes, each in a folder that is itself pending, so that
// every entry has something to wait for). Two rows, medians of 5 runs:
// - 50,000 entries against ten times 5,000 (linear: the ratio stays near 1);
// - 50,000 entries against reading the same outbox in this process (the floor: what the
//   program cannot avoid), with the target of well under a second.
//
//   status_bench QDRIVE
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "outbox.h"

namespace {

using namespace QuorvelleDrive;
namespace fs = std::filesystem;
using Bench::Clock;
using Bench::median;
using Bench::millisSince;

// A state root whose default domain's mount has `count` pending creations, a folder per 100.
fs::path makeOutbox(const fs::path& root, int count) {
  fs::path outbox = root / "quorvelle/default/mount/group.quorvelle.drive/outbox";
  fuse::Outbox box(outbox);
  fuse::Outbox::Batch batch(box);
  ItemIdentifier folder("");
  for (int i = 0; i < count; ++i) {
    if (i % 100 == 0) {
      folder = fuse::Outbox::provisionalIdentifier();
      box.created(folder, true, {rootContainerItemIdentifier(), "folder " + std::to_string(i)}, "",
                  false);
    }
    auto data = fuse::Outbox::freshDataName();
    std::FILE* staged = std::fopen(box.pathOf(data).c_str(), "w");
    std::fputs("bytes", staged);
    std::fclose(staged);
    box.created(fuse::Outbox::provisionalIdentifier(), false,
                {folder, "file " + std::to_string(i) + ".txt"}, data, false);
  }
  batch.commit();
  return outbox;
}

double timeStatus(const char* qdrive, const fs::path& stateRoot) {
  auto start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string state = "XDG_STATE_HOME=" + stateRoot.string();
    std::string home = "HOME=" + stateRoot.string();
    char* env[] = {state.data(), home.data(), nullptr};
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    ::execle(qdrive, qdrive, "status", static_cast<char*>(nullptr), env);
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "status_bench: %s status failed\n", qdrive);
    std::exit(1);
  }
  return millisSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: status_bench QDRIVE\n");
    return 2;
  }
  fs::path root = fs::temp_directory_path() / ("qd-status-bench-" + std::to_string(::getpid()));
  fs::path small = root / "small", large = root / "large";
  makeOutbox(small, 5'000);
  auto largeOutbox = makeOutbox(large, 50'000);
  std::vector<double> smallRuns, largeRuns, readRuns;
  for (int round = 0; round < 5; ++round) {
    smallRuns.push_back(timeStatus(argv[1], small));
    largeRuns.push_back(timeStatus(argv[1], large));
    auto start = Clock::now();
    auto snapshot = fuse::Outbox::read(largeOutbox);
    readRuns.push_back(millisSince(start));
  }
  double ours = median(largeRuns);
  Bench::row("status 50k pending vs 10x 5k", ours, 10 * median(smallRuns), "ms",
             ours / (10 * median(smallRuns)), "<= 1.5");
  Bench::row("status 50k pending vs reading them", ours, median(readRuns), "ms",
             ours / median(readRuns), "ours < 1000 ms");
  fs::remove_all(root);
}
