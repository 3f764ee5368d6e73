// The heap on Windows: the process heap already allocates blocks of about this size and more
// with virtual memory of their own, released when they are freed.
#include "builder/heap.h"

namespace vt {

void ReturnLargeBlocks() {}

}  // namespace vt
