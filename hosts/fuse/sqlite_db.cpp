#include "sqlite_db.h"

#include "platform/error.h"

namespace QuorvelleDrive::fuse {

void Database::fail(int rc) const {
  switch (rc) {
    case SQLITE_FULL:
      throw cocoaError(CocoaError::fileWriteOutOfSpace);
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      throw cocoaError(CocoaError::fileWriteNoPermission);
    case SQLITE_NOMEM:
      throw std::bad_alloc();
    default:
      throw cocoaError(CocoaError::fileWriteUnknown);
  }
}

}  // namespace QuorvelleDrive::fuse
