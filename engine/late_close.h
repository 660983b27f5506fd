// Descriptors of removed files, closed off the caller's thread (POSIX).
//
// When the last descriptor of a file that no longer has a name is closed, the system frees the
// file's pages in the file cache before close() returns: for the old table a restructure has
// just replaced (a .DBF of 120 MB read whole) that is a fifth of the restructure's time. Such a
// close changes nothing on disk and nothing that anyone can open again, so the file layer hands
// the descriptors of large removed files to a thread of this closer, and the caller goes on.
//
// The thread runs only while it has descriptors to close; it is waited for when the process
// exits and before it forks (a child never inherits a closer in the middle of its work).
// Internal to the file-system layer.
#pragma once

#include <cstdint>

namespace engine::late_close {

// Removed files at least this large are closed off the caller's thread.
inline constexpr uint64_t kMinBytes = 4u << 20;

// Closes fd now or soon, on the closer's thread; never throws (a thread that cannot be started
// means the descriptor is closed here).
void Close(int fd);

// Returns once every descriptor handed to Close() is closed.
void Wait();

}  // namespace engine::late_close
