// Runs built programs for end-to-end tests: with exactly the environment given, stdin from
// /dev/null, and stdout and stderr captured separately.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace QuorvelleDrive::testing {

struct Finished {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  std::chrono::steady_clock::duration elapsed{};
};

// Runs `program` to the end; one that outlives `limit` is killed (and reports signal 9).
Finished runProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment,
                    std::chrono::seconds limit = std::chrono::seconds(60));

// A program left running in the background, its output discarded; stopped with SIGTERM (then
// SIGKILL) when the object goes.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // Reaps the program once it has ended; after that the pid is never signalled again.
  bool running();

 private:
  bool reaped();

  pid_t pid_ = -1;
  bool ended_ = false;
};

}  // namespace QuorvelleDrive::testing
