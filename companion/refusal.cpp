#include "companion/refusal.h"

#include <cerrno>

namespace QuorvelleDrive::companion {

const char* wordForErrno(int error) {
  switch (error) {
    case ENOENT:
      return Word::notFound;
    case EEXIST:
      return Word::exists;
    case ENOTEMPTY:
      return Word::notEmpty;
    case ENOTDIR:
      return Word::notDir;
    case EISDIR:
      return Word::isDir;
    case EACCES:
    case EPERM:
    case EROFS:
      return Word::access;
    case EFBIG:
      return Word::tooBig;
    case ENOSPC:
    case EDQUOT:
      return Word::noSpace;
    case ENAMETOOLONG:
      return Word::badName;
    default:
      return Word::io;
  }
}

void refuseErrno(int error) {
  throw Refusal(wordForErrno(error));
}

bool isValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace QuorvelleDrive::companion
