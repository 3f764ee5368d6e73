// The folders a run holds on POSIX: its roots, each opened once, and the folders below them,
// each reached from its root one name at a time without following a link and kept open, so
// that whatever takes a folder's name later is never reached. Per thread: a run goes from
// start to end on one.
#ifndef VANTREL_PATCH_HELD_FOLDERS_POSIX_H
#define VANTREL_PATCH_HELD_FOLDERS_POSIX_H

#include <stddef.h>

namespace vt {

void HeldBegin();
void HeldEnd();
bool HeldOn();

// Holds the folder `native` (a system path with '/' separators) as a root to the end or until
// it is forgotten. One below a root already is reached from that root as HeldFolder does; any
// other is opened as the system finds it. False when it is no folder, or the table is full.
bool HeldAddRoot(const char* native);

enum HeldWalk {
  kHeldFound,    // *fd is the open folder
  kHeldLinked,   // a link stands for one of the folders below the root
  kHeldMissing,  // a folder is missing, or something else than a folder stands for one
  kHeldOutside,  // the path lies below no root: the caller goes by the whole path
};

// The folder native[0, length) opened from the root it lies below, without following a link;
// with `make`, missing folders are made on the way. The descriptor stays the table's: it is
// valid until the second call from now that opens a folder the table does not hold yet.
// *own tells that the folder lies at or below a root that was itself reached from another (a
// folder the run made there, such as its BackupDir).
HeldWalk HeldFolder(const char* native, size_t length, bool make, int* fd, bool* own);

// Lets go of the folder `native` and of every folder below it: removed or renamed by the
// engine, it is no longer where its name leads.
void HeldForget(const char* native);

// Lets go of the folder native[0, length), but a root: something was missing in it, and it
// may have been removed by another program; the next call looks for it, and can make it, again.
void HeldForgetFolder(const char* native, size_t length);

}  // namespace vt

#endif  // VANTREL_PATCH_HELD_FOLDERS_POSIX_H
