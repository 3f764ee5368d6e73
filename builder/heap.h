// How the process's heap gives back the large blocks a diff frees.
#ifndef VANTREL_BUILDER_HEAP_H
#define VANTREL_BUILDER_HEAP_H

namespace vt {

// Makes every block of kLargeBlock bytes or more its own mapping, given back to the system
// when freed. A diff's jobs each allocate and free tens of MiB (the old file's index, the
// compressor's arrays, the operations); a heap that keeps what one job freed for the next one
// holds more than the jobs' planned memory, and more still with one arena per thread. Mapping
// each block anew costs time (its pages are faulted in again): a third more for many small
// files, whose jobs are planned to fit their shares and do without it.
void ReturnLargeBlocks();

const unsigned long kLargeBlock = 1ul << 20;

}  // namespace vt

#endif  // VANTREL_BUILDER_HEAP_H
