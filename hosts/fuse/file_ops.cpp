// Requests on a file's contents. Every descriptor of a file reads and writes its one local copy,
// so a reader sees what another descriptor wrote, as on a local disk. The first write records
// the change in the outbox; it goes out after the last writer's release (never on flush, so a
// shell's `>` sends no empty version first). Each change is recorded before it is made: one
// that cannot be recorded (a full disk) leaves the copy as it was.
#include <fcntl.h>
#include <unistd.h>

#include "fuse_ops.h"

namespace QuorvelleDrive::fuse {

void MountedDomain::Handlers::open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    bool writable = (fi->flags & O_ACCMODE) != O_RDONLY;
    bool truncate = writable && (fi->flags & O_TRUNC);
    bool fetched = false;
    int fd = -1;
    if (writable)
      if (int err = m.prepareForWriting(ino, truncate, &fetched)) return err;
    if (int err = m.openContents(ino, writable ? O_RDWR : O_RDONLY, &fd, &fetched)) return err;
    if (fetched) m.dropKernelAttributes(ino);
    std::unique_lock lock(m.mutex_);
    Node* node = m.table_.find(ino);  // a writer's count keeps it
    auto undo = [&] {
      ::close(fd);
      if (writable && node && --node->writers == 0) m.settle(*node);
    };
    if (!node) {
      undo();
      return ENOENT;
    }
    try {
      if (truncate) {
        m.noteWritten(*node);
        if (::ftruncate(fd, 0) == 0) node->times.modified(wallClock());
      }
      m.handles_.emplace(m.nextHandle_, Handle{ino, fd, writable});
    } catch (...) {
      undo();
      throw;
    }
    fi->fh = m.nextHandle_++;
    fuse_reply_open(req, fi);
    return 0;
  });
}

void MountedDomain::Handlers::read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset,
                                   fuse_file_info* fi) {
  auto& m = self(req);
  int fd = -1;
  {
    std::lock_guard lock(m.mutex_);
    auto h = m.handles_.find(fi->fh);
    if (h == m.handles_.end()) return void(fuse_reply_err(req, EBADF));
    fd = h->second.fd;
  }
  fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
  buffer.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buffer.buf[0].fd = fd;
  buffer.buf[0].pos = offset;
  fuse_reply_data(req, &buffer, FUSE_BUF_SPLICE_MOVE);
}

// The bytes come in memory or, with splice, in a pipe that fuse_buf_copy splices into the copy.
void MountedDomain::Handlers::write(fuse_req_t req, fuse_ino_t ino, fuse_bufvec* data, off_t offset,
                                    fuse_file_info* fi) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    std::lock_guard lock(m.mutex_);
    auto h = m.handles_.find(fi->fh);
    if (h == m.handles_.end() || !h->second.writable) return EBADF;
    fuse_bufvec into = FUSE_BUFVEC_INIT(fuse_buf_size(data));
    into.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    into.buf[0].fd = h->second.fd;
    into.buf[0].pos = offset;
    Node* node = m.table_.find(ino);
    if (node) m.noteWritten(*node);
    ssize_t n = fuse_buf_copy(&into, data, FUSE_BUF_SPLICE_MOVE);
    if (n < 0) return static_cast<int>(-n);
    if (node) node->times.modified(wallClock());
    fuse_reply_write(req, static_cast<size_t>(n));
    return 0;
  });
}

int MountedDomain::Handlers::truncateTo(MountedDomain& m, fuse_ino_t ino, off_t size,
                                        fuse_file_info* fi) {
  if (fi) {
    std::lock_guard lock(m.mutex_);
    auto h = m.handles_.find(fi->fh);
    if (h != m.handles_.end() && h->second.writable) {
      Node* node = m.table_.find(ino);
      if (node) m.noteWritten(*node);
      if (::ftruncate(h->second.fd, size) != 0) return errno;
      if (node) node->times.modified(wallClock());
      return 0;
    }
  }
  // A truncation by path is a whole write of its own: recorded, and free to go at once.
  if (int err = m.prepareForWriting(ino, size == 0)) return err;
  {
    std::lock_guard lock(m.mutex_);
    Node* node = m.table_.find(ino);
    if (!node) return ENOENT;
    if (!m.hasLocalContents(*node)) return EIO;
    m.noteWritten(*node);
    if (::truncate(node->local.c_str(), size) != 0) return errno;
    node->times.modified(wallClock());
  }
  m.uploader_->kick();
  return 0;
}

void MountedDomain::Handlers::fsync(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info* fi) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    int fd = -1;
    {
      std::lock_guard lock(m.mutex_);
      auto h = m.handles_.find(fi->fh);
      if (h == m.handles_.end()) return EBADF;
      fd = h->second.fd;
    }
    fuse_reply_err(req, m.makeDurable(ino, fd));
    return 0;
  });
}

// What made and renamed entries are in the outbox; fsync of a folder makes them durable.
void MountedDomain::Handlers::fsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    std::lock_guard lock(m.mutex_);
    m.outbox_->makeDurable();
    fuse_reply_err(req, 0);
    return 0;
  });
}

void MountedDomain::Handlers::release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto& m = self(req);
  bool writable = false;
  {
    std::lock_guard lock(m.mutex_);
    auto h = m.handles_.find(fi->fh);
    if (h != m.handles_.end()) {
      ::close(h->second.fd);
      writable = h->second.writable;
      m.handles_.erase(h);
    }
  }
  if (writable) {
    try {
      m.closeWriter(ino);
    } catch (...) {
      // The count is down; the entry goes at the end of the run at the latest.
    }
  }
  m.kickKeeper();  // a closed copy may go, should the cache be over its bound
  fuse_reply_err(req, 0);
}

}  // namespace QuorvelleDrive::fuse
