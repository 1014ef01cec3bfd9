#include "platform/error.h"

namespace QuorvelleDrive {

const char* Error::what() const noexcept {
  if (what_.empty()) what_ = domain_ + " error " + std::to_string(code_);
  return what_.c_str();
}

}  // namespace QuorvelleDrive
