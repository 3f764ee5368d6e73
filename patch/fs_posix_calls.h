// The system calls of the POSIX file layer that change or read files, in one table that a test
// may change: to make a call fail as a full disk or a refused rename would, or to act at a
// chosen call (end the process as a kill would, swap a folder for a link). The tool keeps the
// system's own.
#ifndef VANTREL_PATCH_FS_POSIX_CALLS_H
#define VANTREL_PATCH_FS_POSIX_CALLS_H

#include <stddef.h>
#include <sys/types.h>

namespace vt {

struct FsPosixCalls {
  int (*openat)(int dir, const char* name, int flags, mode_t mode);
  int (*mkdirat)(int dir, const char* name, mode_t mode);
  int (*unlinkat)(int dir, const char* name, int flags);
  // renameat2 with RENAME_NOREPLACE, where `replace` is false; renameat where it is true.
  int (*rename)(int fromDir, const char* from, int toDir, const char* to, bool replace);
  ssize_t (*write)(int fd, const void* data, size_t size);
  ssize_t (*pread)(int fd, void* data, size_t size, off_t offset);
  ssize_t (*copyFileRange)(int in, int out, size_t size);
};

// The calls in use. A test changes them only while no run goes.
extern FsPosixCalls g_fsCalls;

// The system's own calls, for a test's to pass on to.
extern const FsPosixCalls kSystemFsCalls;

}  // namespace vt

#endif  // VANTREL_PATCH_FS_POSIX_CALLS_H
