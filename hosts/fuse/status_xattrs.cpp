// Each file's status and pin as extended attributes, so that any program (a file manager's
// script, `getfattr`, `setfattr`) can read and change them: `user.quorvelle.status` reads
// cloud, cached, pinned, pending, uploading or "parked: <reason>"; `user.quorvelle.pinned` reads
// and takes 1 or 0. `user.quorvelle.free`, which takes 1, frees the clean copies under a path
// (it is an action, so listxattr leaves it out). Every other attribute is unsupported, as
// before.
#include <sys/xattr.h>

#include "fuse_ops.h"

namespace QuorvelleDrive::fuse {
namespace {

constexpr std::string_view kStatus = "user.quorvelle.status";
constexpr std::string_view kPinned = "user.quorvelle.pinned";
constexpr std::string_view kFree = "user.quorvelle.free";

// getxattr and listxattr answer the size alone when asked with size 0.
void replyValue(fuse_req_t req, const std::string& value, size_t size) {
  if (size == 0)
    fuse_reply_xattr(req, value.size());
  else if (size < value.size())
    fuse_reply_err(req, ERANGE);
  else
    fuse_reply_buf(req, value.data(), value.size());
}

}  // namespace

void MountedDomain::Handlers::getxattr(fuse_req_t req, fuse_ino_t ino, const char* name,
                                       size_t size) {
  answer(req, [&]() -> int {
    if (name != kStatus && name != kPinned) return ENOTSUP;
    auto& m = self(req);
    std::string value;
    {
      std::lock_guard lock(m.mutex_);
      Node* node = m.table_.find(ino);
      if (!node) return ENOENT;
      value = name == kStatus ? m.statusOf(*node) : m.pins_->has(node->id) ? "1" : "0";
    }
    replyValue(req, value, size);
    return 0;
  });
}

void MountedDomain::Handlers::listxattr(fuse_req_t req, fuse_ino_t, size_t size) {
  answer(req, [&]() -> int {
    replyValue(req, std::string(kStatus) + '\0' + std::string(kPinned) + '\0', size);
    return 0;
  });
}

void MountedDomain::Handlers::setxattr(fuse_req_t req, fuse_ino_t ino, const char* name,
                                       const char* value, size_t size, int flags) {
  answer(req, [&]() -> int {
    if (name != kPinned && name != kFree) return name == kStatus ? EPERM : ENOTSUP;
    std::string_view text(value, size);
    if (text != "1" && text != "0") return EINVAL;
    if (flags & XATTR_CREATE) return EEXIST;  // both always exist
    auto& m = self(req);
    if (name == kFree) {
      if (text == "1")
        if (int err = m.freeCopies(ino)) return err;
    } else {
      std::lock_guard lock(m.mutex_);
      if (!m.table_.find(ino)) return ENOENT;
      m.pin(ino, text == "1");
    }
    fuse_reply_err(req, 0);
    return 0;
  });
}

void MountedDomain::Handlers::removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
  answer(req, [&]() -> int {
    if (name != kPinned) return name == kStatus ? EPERM : ENOTSUP;
    auto& m = self(req);
    std::lock_guard lock(m.mutex_);
    if (!m.table_.find(ino)) return ENOENT;
    m.pin(ino, false);
    fuse_reply_err(req, 0);
    return 0;
  });
}

}  // namespace QuorvelleDrive::fuse
