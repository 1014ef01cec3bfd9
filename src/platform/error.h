// Platform error values (the Foundation error object): a domain, a code and a user-info map.
#pragma once

#include <exception>
#include <map>
#include <string>

namespace QuorvelleDrive {

inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

// Cocoa error codes the platform stand-ins report.
namespace CocoaError {
inline constexpr long fileNoSuchFile = 4;
inline constexpr long fileReadUnknown = 256;
inline constexpr long fileReadNoPermission = 257;
inline constexpr long fileReadNoSuchFile = 260;
inline constexpr long fileReadTooLarge = 263;
inline constexpr long fileWriteUnknown = 512;
inline constexpr long fileWriteNoPermission = 513;
inline constexpr long fileWriteInvalidFileName = 514;
inline constexpr long fileWriteOutOfSpace = 640;
inline constexpr long fileWriteVolumeReadOnly = 642;
inline constexpr long propertyListReadCorrupt = 3840;   // the JSON reader's error
inline constexpr long propertyListWriteInvalid = 3852;  // the JSON writer's error
}  // namespace CocoaError

// An error value; it can also be thrown. Equal when domain, code and user info are equal.
class Error : public std::exception {
 public:
  Error(std::string domain, long code)
      : domain_(std::move(domain)),
        code_(code),
        what_(domain_ + " error " + std::to_string(code_)) {}

  const std::string& domain() const noexcept { return domain_; }
  long code() const noexcept { return code_; }
  const std::map<std::string, std::string>& userInfo() const noexcept { return userInfo_; }
  const char* what() const noexcept override { return what_.c_str(); }

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_ && a.userInfo_ == b.userInfo_;
  }

 private:
  std::string domain_;
  long code_;
  std::map<std::string, std::string> userInfo_;  // always empty for errors this project makes
  std::string what_;  // built once so that what() is safe from several threads
};

inline Error cocoaError(long code) {
  return Error(kCocoaErrorDomain, code);
}

}  // namespace QuorvelleDrive
