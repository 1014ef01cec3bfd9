#include "hosts/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <thread>
#include <utility>

#include "companion/fd.h"

extern char** environ;

namespace QuorvelleDrive::testing {
namespace {

using Fd = companion::UniqueFd;

struct Pipe {
  Fd read, write;
};

Pipe makePipe() {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  return {Fd(fds[0]), Fd(fds[1])};
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Owns posix_spawn's file actions.
class Actions {
 public:
  Actions() { ::posix_spawn_file_actions_init(&actions_); }
  ~Actions() { ::posix_spawn_file_actions_destroy(&actions_); }
  Actions(const Actions&) = delete;
  Actions& operator=(const Actions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment, int out, int err) {
  Actions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), out, 1);
  ::posix_spawn_file_actions_adddup2(actions.get(), err, 2);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), actions.get(), nullptr, pointers(argv).data(),
                    pointers(environment).data()) != 0)
    throw std::runtime_error("posix_spawn " + program);
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Drains both pipes until they close or the deadline passes.
bool drain(Fd& out, Fd& err, Finished& result, std::chrono::steady_clock::time_point deadline) {
  std::array<std::pair<Fd*, std::string*>, 2> streams{{{&out, &result.out}, {&err, &result.err}}};
  while (out.get() >= 0 || err.get() >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    std::array<pollfd, 2> fds{{{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
      return false;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::array<char, 65536> chunk{};
      ssize_t n = ::read(fds[i].fd, chunk.data(), chunk.size());
      if (n > 0)
        streams[i].second->append(chunk.data(), static_cast<std::size_t>(n));
      else if (n == 0 || errno != EINTR)
        streams[i].first->reset();
    }
  }
  return true;
}

}  // namespace

Finished runProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, std::chrono::seconds limit) {
  Pipe out = makePipe(), err = makePipe();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = spawn(program, arguments, environment, out.write.get(), err.write.get());
  out.write.reset();
  err.write.reset();
  Finished result;
  if (!drain(out.read, err.read, result, start + limit)) ::kill(pid, SIGKILL);
  result.status = waitFor(pid);
  result.elapsed = std::chrono::steady_clock::now() - start;
  return result;
}

std::vector<std::string> inheritedEnvironment() {
  std::vector<std::string> out;
  for (char** entry = environ; *entry; ++entry) out.emplace_back(*entry);
  return out;
}

BackgroundProgram::BackgroundProgram(const std::string& program,
                                     const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment,
                                     const std::filesystem::path& log) {
  Fd discard(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  Fd err(log.empty() ? -1 : ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  pid_ = spawn(program, arguments, environment, discard.get(),
               err.get() >= 0 ? err.get() : discard.get());
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ <= 0 || reaped()) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    if (reaped()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool BackgroundProgram::reaped() {
  int status = 0;
  if (!ended_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return ended_;
}

void BackgroundProgram::signal(int number) {
  if (pid_ > 0 && !reaped()) ::kill(pid_, number);
}

int BackgroundProgram::wait() {
  if (pid_ > 0 && !ended_) {
    status_ = waitFor(pid_);
    ended_ = true;
  }
  return status_;
}

bool BackgroundProgram::running() {
  return pid_ > 0 && !reaped();
}

}  // namespace QuorvelleDrive::testing
