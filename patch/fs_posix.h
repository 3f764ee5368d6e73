// What the POSIX file-system files share (fs_posix.cpp, rebuild_io_posix.cpp): an FsFile's
// descriptor, and whole reads and writes that go on past short transfers and signals.
#ifndef VANTREL_PATCH_FS_POSIX_H
#define VANTREL_PATCH_FS_POSIX_H

#include <stddef.h>
#include <stdint.h>

#include "patch/fs.h"

namespace vt {

// A POSIX FsFile is the descriptor plus one, so that no open file is null.
inline int FdOf(FsFile file) { return int(reinterpret_cast<intptr_t>(file)) - 1; }
inline FsFile FileOf(int fd) { return reinterpret_cast<FsFile>(intptr_t(fd) + 1); }

// False when a write fails.
bool WriteFd(int fd, const uint8_t* data, size_t size);

// Reads `size` bytes from `offset`. False when the file ends before the range: shortened
// meanwhile by a process that ignores the lock.
bool ReadFdAt(int fd, uint8_t* data, uint32_t size, uint64_t offset);

// The size of the open file `fd`: what the layer's open of it found, where nothing was
// written through it since, or else what the system says now. False when it cannot tell.
bool SizeOfFd(int fd, uint64_t* size);

}  // namespace vt

#endif  // VANTREL_PATCH_FS_POSIX_H
