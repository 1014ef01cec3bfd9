// Exchange costs, each as a ratio against a floor measured in the same run: one AppClient call
// against a hand-written C-style client on the same server, one item lookup through the
// extension against that floor, and 64 blocked lookups at once against a slow companion.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "channel/app_client.h"
#include "extension/file_provider_extension.h"

namespace {

using namespace QuorvelleDrive;
using namespace QuorvelleDrive::Bench;

World& world() {
  static World w;
  return w;
}

const std::string kReply =
    R"({"item":{"id":"a","parent":"1","name":"a.txt","dir":false,"version":"v1"}})";

// Reads one request frame and answers kReply, after `delay`; one thread per connection when
// delayed so that slow answers overlap, as a real companion's would.
class TrivialCompanion {
 public:
  TrivialCompanion(fs::path socket, std::chrono::milliseconds delay) : delay_(delay) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    ::unlink(socket.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 256);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~TrivialCompanion() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    ::close(listener_);
    for (auto& t : answering_) t.join();
  }

 private:
  void acceptLoop() {
    for (;;) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      if (delay_.count() == 0)
        answer(fd);
      else
        answering_.emplace_back([this, fd] { answer(fd); });
    }
  }
  void answer(int fd) const {
    char header[4];
    if (readExactly(fd, header, 4)) {
      std::size_t length = 0;
      for (char c : header) length = (length << 8) | static_cast<unsigned char>(c);
      std::string json(length, '\0');
      readExactly(fd, json.data(), length);
      std::this_thread::sleep_for(delay_);
      ::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    }
    ::close(fd);
  }

  std::chrono::milliseconds delay_;
  std::string reply_ = framed(kReply);
  int listener_ = -1;
  std::thread acceptor_;
  std::vector<std::thread> answering_;
};

void BM_CStyleClient(benchmark::State& state) {
  TrivialCompanion companion(world().socket(), {});
  const std::string request = framed(R"({"op":"item","id":"a"})");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, world().socket().c_str());
  std::vector<char> reply(framed(kReply).size());
  for (auto _ : state) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    readExactly(fd, reply.data(), reply.size());
    ::close(fd);
  }
}

void BM_AppClientCall(benchmark::State& state) {
  TrivialCompanion companion(world().socket(), {});
  AppClient client(world().socket().string());
  for (auto _ : state) benchmark::DoNotOptimize(client.call({{"op", "item"}, {"id", "a"}}));
}

void BM_ItemLookup(benchmark::State& state) {
  TrivialCompanion companion(world().socket(), {});
  auto extension = FileProviderExtension::create(world().domain);
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable done;
    bool answered = false;
    extension->item(ItemIdentifier("a"), {}, [&](auto item, auto) {
      benchmark::DoNotOptimize(item);
      std::lock_guard lock(mutex);
      answered = true;
      done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return answered; });
  }
}

BENCHMARK(BM_CStyleClient)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_AppClientCall)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ItemLookup)->MinTime(2.0)->UseRealTime();

// Keeps each benchmark's real time per iteration for the table.
class Collector : public benchmark::ConsoleReporter {
 public:
  Collector() : ConsoleReporter(OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      microseconds[run.benchmark_name()] = run.GetAdjustedRealTime() / 1000.0;
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> microseconds;
};

// 64 lookups at once against a companion that answers each after 200 ms: wall time in ms.
double blockedLookups() {
  TrivialCompanion companion(world().socket(), std::chrono::milliseconds(200));
  auto extension = FileProviderExtension::create(world().domain);
  std::mutex mutex;
  std::condition_variable done;
  int answered = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 64; ++i)
    extension->item(ItemIdentifier("a"), {}, [&](auto, auto) {
      std::lock_guard lock(mutex);
      ++answered;
      done.notify_one();
    });
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return answered == 64; });
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  double floor = collector.microseconds["BM_CStyleClient/min_time:2.000/real_time"];
  double call = collector.microseconds["BM_AppClientCall/min_time:2.000/real_time"];
  double lookup = collector.microseconds["BM_ItemLookup/min_time:2.000/real_time"];
  double blocked = blockedLookups();
  header();
  row("one exchange (AppClient::call)", call, floor, "us", call / floor, "<= 1.15");
  row("one host call (item lookup)", lookup, floor, "us", lookup / floor, "<= 2.0");
  row("64 lookups vs 200 ms companion", blocked, 200, "ms", blocked / 200, "<= 2.0");
  benchmark::Shutdown();
}
