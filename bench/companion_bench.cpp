// The reference companion's write path, through its socket, on a store in a temporary folder on
// the disk (not tmpfs: the rows are about syncs). Each row is ours next to a floor from the same
// run and store:
// - a rewrite with a stale base once the file has 3,000 conflict copies, against a rewrite with
//   the right base (finding the next conflict name must not cost a query per copy);
// - creating 4 KB files 16 at a time, per file, against one at a time (writes that arrive
//   together share their folder syncs and index commit).
// QD_BENCH_DIR picks the folder the stores go in (default: the current folder).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "channel/app_client.h"
#include "companion/companion.h"

namespace {

using namespace QuorvelleDrive;
namespace fs = std::filesystem;
namespace qc = QuorvelleDrive::companion;
using Bench::Clock;
using Bench::median;
using Bench::millisSince;

struct Store {
  explicit Store(const fs::path& where)
      : root(where / ("qd-companion-bench-" + std::to_string(::getpid()))),
        companion(options(root)),
        client((root / "drive.sock").string()) {}
  ~Store() { fs::remove_all(root); }

  static qc::Options options(const fs::path& root) {
    fs::create_directories(root);
    qc::Options options;
    options.store = root / "store";
    options.socket = root / "drive.sock";
    return options;
  }
  json::object call(const json::object& request, const std::string& body = {}) {
    auto bytes = std::as_bytes(std::span(body.data(), body.size()));
    return client.call(request, bytes).json;
  }
  std::string create(const std::string& name, const std::string& body) {
    json::object request{
        {"op", "create"}, {"parent", "1"}, {"name", name}, {"dir", false}, {"size", body.size()}};
    return std::string(call(request, body).at("item").at("id").as_string());
  }
  json::object write(const std::string& id, const std::string& base, const std::string& body) {
    return call({{"op", "write"}, {"id", id}, {"size", body.size()}, {"base", base}}, body);
  }
  std::string version(const std::string& id) {
    return std::string(call({{"op", "item"}, {"id", id}}).at("item").at("version").as_string());
  }

  fs::path root;
  qc::Companion companion;
  AppClient client;
};

void conflictRow(const fs::path& where) {
  Store store(where);
  std::string id = store.create("report.txt", "current");
  for (int i = 0; i < 3000; ++i) store.write(id, "stale", "copy");
  std::vector<double> stale, fresh;
  for (int i = 0; i < 15; ++i) {
    auto start = Clock::now();
    store.write(id, "stale", "copy");
    stale.push_back(millisSince(start));
    std::string base = store.version(id);
    start = Clock::now();
    store.write(id, base, "current");
    fresh.push_back(millisSince(start));
  }
  double ours = median(stale), floor = median(fresh);
  Bench::row("write with 3,000 conflict copies", ours, floor, "ms", ours / floor, "<= 2.0");
}

// Milliseconds per file for `count` creates made `together` at a time.
double createMillis(Store& store, int count, int together, const std::string& tag) {
  std::string body(4000, 'x');
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < together; ++t)
    threads.emplace_back([&, t] {
      for (int i = t; i < count; i += together) store.create(tag + "-" + std::to_string(i), body);
    });
  for (auto& thread : threads) thread.join();
  return millisSince(start) / count;
}

void groupCommitRow(const fs::path& where) {
  Store store(where);
  std::vector<double> together, alone;
  for (int round = 0; round < 5; ++round) {
    alone.push_back(createMillis(store, 200, 1, "alone" + std::to_string(round)));
    together.push_back(createMillis(store, 200, 16, "together" + std::to_string(round)));
  }
  double ours = median(together), floor = median(alone);
  Bench::row("create 4 KB, 16 at once, per file", ours, floor, "ms", ours / floor, "<= 0.5");
}

}  // namespace

int main() {
  const char* dir = std::getenv("QD_BENCH_DIR");
  fs::path where = dir ? fs::path(dir) : fs::current_path();
  conflictRow(where);
  groupCommitRow(where);
}
