// The heap on POSIX systems (the C library's malloc): a fixed threshold for mapped blocks,
// which also ends its raising the threshold to the largest block freed so far.
#include "builder/heap.h"

#include <malloc.h>

namespace vt {

void ReturnLargeBlocks() { mallopt(M_MMAP_THRESHOLD, int(kLargeBlock)); }

}  // namespace vt
