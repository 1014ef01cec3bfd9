// The kernel's requests. Each is answered exactly once: a handler's body replies as its last
// step and returns 0, or returns the errno to answer with. An exception becomes an errno answer
// (ENOSPC for a full state folder), since one escaping into libfuse would end the mount.
#pragma once

#include <cstring>
#include <string>

#include "errno_map.h"
#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {

inline MountedDomain& self(fuse_req_t req) {
  return *static_cast<MountedDomain*>(fuse_req_userdata(req));
}

template <class Body>
void answer(fuse_req_t req, Body&& body) noexcept {
  int err;
  try {
    err = body();
  } catch (...) {
    err = errnoForCurrentException();
  }
  if (err) fuse_reply_err(req, err);
}

struct MountedDomain::Handlers {
  static fuse_lowlevel_ops operations();
  // The session's terms: splice both ways and requests of up to a megabyte.
  static void init(void* userdata, fuse_conn_info* conn);

  // The tree and attributes (fuse_ops.cpp).
  static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
  static void forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t n);
  static void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets);
  static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                      fuse_file_info* fi);
  static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                      fuse_file_info* fi);
  static void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                          fuse_file_info* fi);
  static void releasedir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  static void statfs(fuse_req_t req, fuse_ino_t ino);

  // Contents (file_ops.cpp).
  static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  static void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi);
  static void write(fuse_req_t req, fuse_ino_t ino, fuse_bufvec* data, off_t offset,
                    fuse_file_info* fi);
  static void fsync(fuse_req_t req, fuse_ino_t ino, int dataOnly, fuse_file_info* fi);
  static void fsyncdir(fuse_req_t req, fuse_ino_t ino, int dataOnly, fuse_file_info* fi);
  static void release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  static int truncateTo(MountedDomain& m, fuse_ino_t ino, off_t size, fuse_file_info* fi);

  // Status and pins as extended attributes (status_xattrs.cpp).
  static void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size);
  static void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size);
  static void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value,
                       size_t size, int flags);
  static void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name);

  // Names (name_ops.cpp).
  static void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                     fuse_file_info* fi);
  static void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev);
  static void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode);
  static void unlink(fuse_req_t req, fuse_ino_t parent, const char* name);
  static void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name);
  static void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                     const char* newName, unsigned int flags);

 private:
  static void listEntries(fuse_req_t req, fuse_ino_t folder, size_t size, off_t offset,
                          fuse_file_info* fi, bool plus);
  static int placeForNew(MountedDomain& m, fuse_ino_t parent, const std::string& name);
  static int createFile(MountedDomain& m, fuse_ino_t parent, const std::string& name, bool open,
                        mode_t mode, fuse_entry_param* entry, fuse_file_info* fi);
  static int removeEntry(MountedDomain& m, fuse_ino_t parent, const std::string& name, bool folder);
  static int ensureEmptyKnown(MountedDomain& m, fuse_ino_t parent, const std::string& name);
  static int renameEntry(MountedDomain& m, fuse_ino_t parent, const std::string& name,
                         fuse_ino_t newParent, const std::string& newName, unsigned int flags);
  static void remove(MountedDomain& m, Node& node);
  static void replaceFile(MountedDomain& m, Node& source, Node& target);
};

}  // namespace QuorvelleDrive::fuse
