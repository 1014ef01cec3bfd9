// Runs built programs for end-to-end tests: with exactly the environment given, stdin from
// /dev/null, and stdout and stderr captured separately.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace QuorvelleDrive::testing {

struct Finished {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs `program` to the end; one that outlives `limit` is killed (and reports signal 9).
Finished runProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment,
                    std::chrono::seconds limit = std::chrono::seconds(60));

// Reaps `pid`, killing it once `limit` has passed: its exit status, or 128 + the signal that
// ended it; nothing when `kill` is false and it is still running.
std::optional<int> reap(pid_t pid, std::chrono::milliseconds limit, bool kill = true);

// A small fixed environment with `home` as HOME and home/state as XDG_STATE_HOME, in UTC; the
// sanitizers' options pass through.
std::vector<std::string> cleanEnvironment(const std::filesystem::path& home);

// A program left running in the background, its stdout and stderr discarded or written to
// `log`; stopped with SIGTERM (then SIGKILL) when the object goes.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment,
                    const std::filesystem::path& log = {});
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Reaps the program once it has ended; after that the pid is never signalled again.
  bool running();
  void signal(int number);
  // Waits for the end (killing a program still running after a minute): the exit status, or
  // 128 + the signal that ended it.
  int wait();

 private:
  pid_t pid_;
  std::optional<int> status_;
};

}  // namespace QuorvelleDrive::testing
