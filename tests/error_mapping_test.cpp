#include "channel/error_mapping.h"

#include <gtest/gtest.h>

#include "boundaries/file_provider_error.h"
#include "channel/unavailable.h"

namespace QuorvelleDrive {
namespace {

struct WordCase {
  std::string word;
  std::string domain;
  long code;
};

TEST(AppError, MapsEachWordExactly) {
  const std::string fp = kFileProviderErrorDomain, cocoa = kCocoaErrorDomain;
  // clang-format off
  const WordCase cases[] = {
      {"notFound", fp, -1005}, {"exists", fp, -1001}, {"notEmpty", fp, -1007},
      {"offline", fp, -1004}, {"busy", fp, -1004}, {"access", cocoa, 513}, {"notDir", cocoa, 513},
      {"isDir", cocoa, 513}, {"tooBig", cocoa, 640}, {"noSpace", fp, -1003}, {"", fp, -2005},
      {"notfound", fp, -2005}, {"NotFound", fp, -2005}, {"notFound ", fp, -2005},
      {" notFound", fp, -2005}, {"unknown", fp, -2005}, {std::string("notFound\0", 9), fp, -2005},
  };
  // clang-format on
  for (const auto& c : cases) {
    Error e = appError(c.word);
    EXPECT_EQ(e.domain(), c.domain) << c.word;
    EXPECT_EQ(e.code(), c.code) << c.word;
    EXPECT_TRUE(e.userInfo().empty());
  }
}

TEST(Unreachable, TurnsOnlyUnavailableIntoServerUnreachable) {
  // hostError hands back an Error as it is, and anything else as cannotSynchronize.
  EXPECT_EQ(hostError(unreachable(std::make_exception_ptr(Unavailable()))),
            fileProviderError(FileProviderError::serverUnreachable));

  for (auto other :
       {std::make_exception_ptr(appError("offline")), std::make_exception_ptr(std::bad_alloc())})
    EXPECT_EQ(unreachable(other), other);
}

TEST(HostError, ForeignExceptionsBecomeCannotSynchronize) {
  EXPECT_EQ(hostError(std::make_exception_ptr(std::bad_alloc())),
            fileProviderError(FileProviderError::cannotSynchronize));
  EXPECT_EQ(hostError(std::make_exception_ptr(appError("exists"))), appError("exists"));
}

}  // namespace
}  // namespace QuorvelleDrive
