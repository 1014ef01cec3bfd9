// `qdrive pin`, `unpin` and `free`: they ask the mount through each path's extended attributes
// (`user.quorvelle.pinned`, `user.quorvelle.free`), so they need the mount to be running and
// work the same as a file manager's action would.
#pragma once

namespace QuorvelleDrive::Qdrive {

struct Invocation;

int runPin(const Invocation& invocation);
int runUnpin(const Invocation& invocation);
int runFree(const Invocation& invocation);

}  // namespace QuorvelleDrive::Qdrive
