// The host's own error domain and the codes this system raises. Cocoa codes live with the
// platform's error values.
#pragma once

#include "platform/error.h"

namespace QuorvelleDrive {

inline constexpr const char* kFileProviderErrorDomain = "NSFileProviderErrorDomain";

namespace FileProviderError {
inline constexpr long filenameCollision = -1001;
inline constexpr long syncAnchorExpired = -1002;
inline constexpr long insufficientQuota = -1003;
inline constexpr long serverUnreachable = -1004;
inline constexpr long noSuchItem = -1005;
inline constexpr long directoryNotEmpty = -1007;
inline constexpr long cannotSynchronize = -2005;
inline constexpr long excludedFromSync = -2010;
}  // namespace FileProviderError

inline Error fileProviderError(long code) {
  return Error(kFileProviderErrorDomain, code);
}

}  // namespace QuorvelleDrive
