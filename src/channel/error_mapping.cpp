#include "channel/error_mapping.h"

#include <array>
#include <utility>

#include "boundaries/file_provider_error.h"
#include "channel/unavailable.h"

namespace QuorvelleDrive {
namespace {

struct WordMapping {
  std::string_view word;
  const char* domain;
  long code;
};

constexpr std::array kWords{
    WordMapping{"notFound", kFileProviderErrorDomain, FileProviderError::noSuchItem},
    WordMapping{"exists", kFileProviderErrorDomain, FileProviderError::filenameCollision},
    WordMapping{"notEmpty", kFileProviderErrorDomain, FileProviderError::directoryNotEmpty},
    WordMapping{"offline", kFileProviderErrorDomain, FileProviderError::serverUnreachable},
    WordMapping{"busy", kFileProviderErrorDomain, FileProviderError::serverUnreachable},
    WordMapping{"access", kCocoaErrorDomain, CocoaError::fileWriteNoPermission},
    WordMapping{"notDir", kCocoaErrorDomain, CocoaError::fileWriteNoPermission},
    WordMapping{"isDir", kCocoaErrorDomain, CocoaError::fileWriteNoPermission},
    WordMapping{"tooBig", kCocoaErrorDomain, CocoaError::fileWriteOutOfSpace},
    WordMapping{"noSpace", kFileProviderErrorDomain, FileProviderError::insufficientQuota},
};

}  // namespace

Error appError(std::string_view word) {
  for (const auto& mapping : kWords)
    if (mapping.word == word) return Error(mapping.domain, mapping.code);
  return fileProviderError(FileProviderError::cannotSynchronize);
}

std::exception_ptr unreachable(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Unavailable&) {
    return std::make_exception_ptr(fileProviderError(FileProviderError::serverUnreachable));
  } catch (...) {
    return error;
  }
}

Error hostError(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Error& e) {
    return e;
  } catch (...) {
    return fileProviderError(FileProviderError::cannotSynchronize);
  }
}

}  // namespace QuorvelleDrive
