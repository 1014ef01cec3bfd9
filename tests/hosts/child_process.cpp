#include "hosts/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "companion/fd.h"
#include "support/drive_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

using namespace std::chrono_literals;

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// The child opens `out` and `err` as its stdout and stderr (one file for both when they are the
// same).
pid_t spawn(const std::string& program, std::vector<std::string> argv,
            const std::vector<std::string>& environment, const std::string& out,
            const std::string& err) {
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> owner(
      &actions, ::posix_spawn_file_actions_destroy);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out == err)
    ::posix_spawn_file_actions_adddup2(&actions, 2, 1);
  else
    ::posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY, 0);
  argv.insert(argv.begin(), program);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, pointers(argv).data(),
                    pointers(environment).data()) != 0)
    throw std::runtime_error("posix_spawn " + program);
  return pid;
}

}  // namespace

std::optional<int> reap(pid_t pid, std::chrono::milliseconds limit, bool kill) {
  int raw = 0;
  if (!eventually([&] { return ::waitpid(pid, &raw, WNOHANG) == pid; }, limit)) {
    if (!kill) return std::nullopt;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &raw, 0);
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

Finished runProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, std::chrono::seconds limit) {
  // In memory rather than pipes: nothing to drain while the child runs, and it never blocks.
  companion::UniqueFd out(::memfd_create("stdout", MFD_CLOEXEC));
  companion::UniqueFd err(::memfd_create("stderr", MFD_CLOEXEC));
  auto path = [](const companion::UniqueFd& fd) {
    return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd.get());
  };
  Finished result;
  result.status = *reap(spawn(program, arguments, environment, path(out), path(err)), limit);
  result.out = readWholeFile(path(out));
  result.err = readWholeFile(path(err));
  return result;
}

std::vector<std::string> cleanEnvironment(const std::filesystem::path& home) {
  std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + home.string(),
                               "XDG_STATE_HOME=" + (home / "state").string(), "TZ=UTC"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  return env;
}

BackgroundProgram::BackgroundProgram(const std::string& program,
                                     const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment,
                                     const std::filesystem::path& log)
    : pid_(spawn(program, arguments, environment, log.empty() ? "/dev/null" : log.string(),
                 log.empty() ? "/dev/null" : log.string())) {}

BackgroundProgram::~BackgroundProgram() {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  reap(pid_, 5s);
}

bool BackgroundProgram::running() {
  if (!status_) status_ = reap(pid_, 0ms, false);
  return !status_;
}

void BackgroundProgram::signal(int number) {
  if (running()) ::kill(pid_, number);
}

int BackgroundProgram::wait() {
  if (running()) status_ = reap(pid_, 1min);
  return *status_;
}

}  // namespace QuorvelleDrive::testing
