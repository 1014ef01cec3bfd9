#include "errno_map.h"

#include <sys/stat.h>

#include <cerrno>

#include "boundaries/file_provider_error.h"

namespace QuorvelleDrive::fuse {

int errnoFor(const Error& error) {
  if (error.domain() == kCocoaErrorDomain) {
    switch (error.code()) {
      case CocoaError::fileWriteNoPermission:
      case CocoaError::fileReadNoPermission:
        return EACCES;
      case CocoaError::fileWriteOutOfSpace:
        return EFBIG;
      case CocoaError::fileReadNoSuchFile:
      case CocoaError::fileNoSuchFile:
        return ENOENT;
      default:
        return EIO;
    }
  }
  if (error.domain() != kFileProviderErrorDomain) return EIO;
  switch (error.code()) {
    case FileProviderError::noSuchItem:
      return ENOENT;
    case FileProviderError::filenameCollision:
      return EEXIST;
    case FileProviderError::directoryNotEmpty:
      return ENOTEMPTY;
    case FileProviderError::insufficientQuota:
      return EDQUOT;
    case FileProviderError::excludedFromSync:
      return EPERM;
    default:
      return EIO;
  }
}

mode_t modeFor(bool isFolder, ItemCapabilities capabilities) {
  bool writable = capabilities & ItemCapability::allowsWriting;
  if (isFolder) return S_IFDIR | (writable ? 0755 : 0555);
  return S_IFREG | (writable ? 0644 : 0444);
}

bool isUsableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos && name.size() <= 255;
}

}  // namespace QuorvelleDrive::fuse
