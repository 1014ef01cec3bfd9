#include "errno_map.h"

#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <system_error>

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

namespace {

// File errors raised by the mount itself (its journal, its copies), not by the companion.
int localErrno(const Error& error) {
  if (error.domain() != kCocoaErrorDomain) return EIO;
  switch (error.code()) {
    case CocoaError::fileWriteOutOfSpace:
      return ENOSPC;
    case CocoaError::fileWriteNoPermission:
    case CocoaError::fileReadNoPermission:
      return EACCES;
    case CocoaError::fileWriteVolumeReadOnly:
      return EROFS;
    case CocoaError::fileNoSuchFile:
    case CocoaError::fileReadNoSuchFile:
      return ENOENT;
    default:
      return EIO;
  }
}

}  // namespace

int errnoForCurrentException() noexcept {
  try {
    throw;
  } catch (const Error& error) {
    return localErrno(error);
  } catch (const std::system_error& error) {
    int value = error.code().value();
    return error.code().category() == std::generic_category() ||
                   error.code().category() == std::system_category()
               ? (value > 0 ? value : EIO)
               : EIO;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (...) {
    return EIO;
  }
}

mode_t modeFor(bool isFolder, ItemCapabilities capabilities) {
  bool writable = capabilities & ItemCapability::allowsWriting;
  if (isFolder) return S_IFDIR | (writable ? 0755 : 0555);
  return S_IFREG | (writable ? 0644 : 0444);
}

bool isUsableName(const std::string& name) {
  return nameError(name) == 0;
}

int nameError(const std::string& name) {
  if (name.size() > kNameMax) return ENAMETOOLONG;
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string("/\0", 2)) != std::string::npos)
    return EINVAL;
  return 0;
}

}  // namespace QuorvelleDrive::fuse
