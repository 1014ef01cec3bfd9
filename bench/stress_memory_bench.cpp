// Memory under stress: rounds of 2,000 mixed host operations in flight at once against a
// companion answering after random short delays with right answers, error words and
// wrong-shaped replies. Resident memory after the last round is set against the first round's,
// so that growth (a leak, or caches that only grow) shows as a ratio above one. The companion
// is the suite's scripted fake, run in a child process so that what it records is not counted.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "bench_support.h"
#include "extension/file_provider_extension.h"
#include "support/fake_companion.h"

namespace {

using namespace QuorvelleDrive;
using namespace QuorvelleDrive::Bench;
using QuorvelleDrive::testing::Answer;
using QuorvelleDrive::testing::FakeCompanion;
using QuorvelleDrive::testing::RecordedRequest;

constexpr int kOperations = 2000;

double residentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

Answer chaoticAnswer(const RecordedRequest& request) {
  static std::mutex mutex;
  static std::mt19937 random(20261207);
  int kind, delay;
  {
    std::lock_guard lock(mutex);
    kind = std::uniform_int_distribution<int>(0, 9)(random);
    delay = std::uniform_int_distribution<int>(0, 3)(random);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  if (kind < 2) return Answer::reply(R"({"error":"notFound"})");
  if (kind < 3) return Answer::reply(R"({"item":5,"items":"x"})");
  const auto* op = request.json.if_contains("op");
  const std::string_view name = op && op->is_string() ? std::string_view(op->get_string()) : "";
  if (name == "read") return Answer::reply(R"({"size":5})", "bytes");
  if (name == "list" || name == "all")
    return Answer::reply(R"({"items":[{"id":"a","parent":"1","name":"a","dir":false}]})");
  if (name == "anchor") return Answer::reply(R"({"anchor":9})");
  return Answer::reply(R"({"item":{"id":"a","parent":"1","name":"a.txt","dir":false}})");
}

struct HostItem : FileProviderItem {
  ItemIdentifier itemIdentifier() const override { return ItemIdentifier("a"); }
  ItemIdentifier parentItemIdentifier() const override { return rootContainerItemIdentifier(); }
  std::string filename() const override { return "a.txt"; }
  std::optional<ContentType> contentType() const override { return std::nullopt; }
};

struct Observer : EnumerationObserver {
  explicit Observer(std::function<void()> done) : done(std::move(done)) {}
  void didEnumerateItems(std::vector<std::shared_ptr<const FileProviderItem>>) override {}
  void finishEnumeratingUpToPage(std::optional<Page>) override { done(); }
  void finishEnumeratingWithError(Error) override { done(); }
  std::function<void()> done;
};

// Starts kOperations operations at once and waits until every one has answered.
void runRound(FileProviderExtension& extension, const fs::path& contents) {
  std::mutex mutex;
  std::condition_variable changed;
  int answered = 0;
  auto done = [&] {
    std::lock_guard lock(mutex);
    if (++answered == kOperations) changed.notify_all();
  };
  auto item = [&](auto&&...) { done(); };
  auto host = std::make_shared<HostItem>();
  for (int i = 0; i < kOperations; ++i) {
    switch (i % 5) {
      case 0:
        extension.item(ItemIdentifier("a"), {}, item);
        break;
      case 1:
        extension.fetchContents(ItemIdentifier("a"), std::nullopt, {}, item);
        break;
      case 2:
        extension.createItem(host, ~ItemFields{0}, contents, 0, {}, item);
        break;
      case 3:
        extension.deleteItem(ItemIdentifier("a"), {}, 0, {}, item);
        break;
      default:
        extension.enumerator(workingSetContainerItemIdentifier(), {})
            ->enumerateItems(std::make_shared<Observer>(done), {});
    }
  }
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return answered == kOperations; });
}

// The fake companion in a process of its own, forked before this one starts any thread.
class ChildCompanion {
 public:
  explicit ChildCompanion(const fs::path& socket) : pid_(::fork()) {
    if (pid_ == 0) {
      FakeCompanion companion(socket);
      companion.setFallback(chaoticAnswer);
      for (;;) ::pause();  // until killed
    }
    while (!fs::exists(socket)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~ChildCompanion() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ChildCompanion(const ChildCompanion&) = delete;
  ChildCompanion& operator=(const ChildCompanion&) = delete;

 private:
  pid_t pid_;
};

}  // namespace

// QD_ROUNDS=N runs N rounds instead of 40; QD_TRACE=1 prints the resident size after each.
int main() {
  const char* rounds = std::getenv("QD_ROUNDS");
  const int roundCount = rounds ? std::max(2, std::atoi(rounds)) : 40;
  const bool trace = std::getenv("QD_TRACE") != nullptr;
  World world;
  ChildCompanion companion(world.socket());
  const fs::path contents = world.root / "upload.bin";
  std::ofstream(contents) << std::string(3000, 'u');
  auto extension = FileProviderExtension::create(world.domain);
  auto fetched = FileProviderManager::managerForDomain(world.domain)->temporaryDirectoryURL();

  runRound(*extension, contents);
  const double first = residentMiB();
  for (int i = 1; i < roundCount; ++i) {
    runRound(*extension, contents);
    fs::remove_all(fetched);  // fetched files are the host's to remove
    if (trace) std::fprintf(stderr, "after round %d: %.1f MiB\n", i + 1, residentMiB());
  }
  const double last = residentMiB();
  char what[64];
  std::snprintf(what, sizeof what, "memory after %dk ops vs %dk", roundCount * kOperations / 1000,
                kOperations / 1000);
  row(what, last, first, "MiB", last / first, "figure");
}
