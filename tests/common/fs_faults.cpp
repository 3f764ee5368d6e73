// The test faults over the POSIX file layer's table of system calls.
#include "tests/common/fs_faults.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "patch/fs_posix_calls.h"

namespace vt {
namespace {

struct Point {
  int pass;
  int fail;
  int killIn;  // 0: off; n: the n-th call from now kills
  int actIn;   // 0: off; n: `act` runs before the n-th call from now
  std::function<void()> act;
};
Point g_points[kFaultPointCount];

// True when this call at `point` is to fail; kills or acts first where that was asked.
bool Faulted(FsFaultPoint point, int error) {
  Point& p = g_points[point];
  if (p.killIn == 1) kill(getpid(), SIGKILL);
  if (p.killIn > 1) --p.killIn;
  if (p.actIn > 0 && --p.actIn == 0) p.act();
  if (p.fail == 0) return false;
  if (p.pass > 0) {
    --p.pass;
    return false;
  }
  --p.fail;
  errno = error;
  return true;
}

int OpenAt(int dir, const char* name, int flags, mode_t mode) {
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && Faulted(kFaultReserveTemp, ENOSPC))
    return -1;
  return kSystemFsCalls.openat(dir, name, flags, mode);
}

int UnlinkAt(int dir, const char* name, int flags) {
  if (flags == 0 && Faulted(kFaultDelete, EACCES)) return -1;
  return kSystemFsCalls.unlinkat(dir, name, flags);
}

int Rename(int fromDir, const char* from, int toDir, const char* to, bool replace) {
  if (Faulted(replace ? kFaultReplace : kFaultMove, EACCES)) return -1;
  return kSystemFsCalls.rename(fromDir, from, toDir, to, replace);
}

ssize_t Write(int fd, const void* data, size_t size) {
  if (Faulted(kFaultWrite, ENOSPC)) return -1;
  return kSystemFsCalls.write(fd, data, size);
}

ssize_t PRead(int fd, void* data, size_t size, off_t offset) {
  if (Faulted(kFaultReadOld, EIO)) return -1;
  return kSystemFsCalls.pread(fd, data, size, offset);
}

ssize_t CopyFileRange(int in, int out, size_t size) {
  if (Faulted(kFaultCopy, EIO)) return -1;
  return kSystemFsCalls.copyFileRange(in, out, size);
}

void Install() {
  g_fsCalls = {OpenAt, kSystemFsCalls.mkdirat, UnlinkAt, Rename, Write, PRead, CopyFileRange};
}

}  // namespace

void FsInjectFault(FsFaultPoint point, int pass, int fail) {
  g_points[point].pass = pass;
  g_points[point].fail = fail;
  Install();
}

void FsKillAt(FsFaultPoint point, int pass) {
  g_points[point].killIn = pass + 1;
  Install();
}

void FsActAt(FsFaultPoint point, int pass, std::function<void()> act) {
  g_points[point].actIn = pass + 1;
  g_points[point].act = std::move(act);
  Install();
}

void FsClearFaults() {
  for (Point& p : g_points) p = Point();
  g_fsCalls = kSystemFsCalls;
}

}  // namespace vt
