// The companion's failures: each becomes the reply {"error": word}.
#pragma once

#include <stdexcept>
#include <string>

namespace QuorvelleDrive::companion {

// Words the extension maps to host errors; anything else reaches the host as cannotSynchronize.
namespace Word {
inline constexpr const char* notFound = "notFound";
inline constexpr const char* exists = "exists";
inline constexpr const char* notEmpty = "notEmpty";
inline constexpr const char* notDir = "notDir";
inline constexpr const char* isDir = "isDir";
inline constexpr const char* access = "access";
inline constexpr const char* tooBig = "tooBig";
inline constexpr const char* noSpace = "noSpace";
// Outside the extension's table on purpose.
inline constexpr const char* badName = "badName";
inline constexpr const char* badRequest = "badRequest";
inline constexpr const char* badMove = "badMove";
inline constexpr const char* io = "io";
}  // namespace Word

class Refusal : public std::runtime_error {
 public:
  explicit Refusal(const std::string& word) : std::runtime_error(word) {}
  std::string word() const { return what(); }
};

// The word for a failed system call's errno.
const char* wordForErrno(int error);
[[noreturn]] void refuseErrno(int error);

// Empty, ".", "..", holding "/" or NUL, or longer than 255 bytes: never turned into a path.
bool isValidName(const std::string& name);

}  // namespace QuorvelleDrive::companion
